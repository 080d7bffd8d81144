#pragma once

#include <gio/gio.h>

#include <atspi/atspi.h>

#include "platform/Accessibility.h"
#include "platform/linux/GObjectPtr.h"

namespace glimwick::os {

// The accessibility interface on AT-SPI2. Connects to the accessibility bus lazily, once the
// session bus shows one, and follows keyboard focus through focus events. Password fields are
// never read: their text and ranges answer as unsupported.
class AtspiAccessibility : public ax::Accessibility {
public:
    // sessionBus is not owned and outlives this object.
    explicit AtspiAccessibility(GDBusConnection* sessionBus);
    ~AtspiAccessibility() override;

    bool isProcessTrusted(bool prompt) override;
    ax::ElementRef createSystemWide() override;
    ax::ElementRef createApplication(Pid pid) override;
    ax::Answer copyAttributeValue(const ax::ElementRef& element,
                                  const std::string& attribute) override;
    ax::Answer copyParameterizedAttributeValue(const ax::ElementRef& element,
                                               const std::string& attribute,
                                               const ax::Value& parameter) override;
    Pid getPid(const ax::ElementRef& element) override;
    std::optional<ax::AXValue> createRangeValue(const ax::Range& range) override;
    ax::ObserverResult createObserver(Pid pid, ax::ObserverCallback callback) override;

private:
    bool connected();
    ax::Answer systemWideAttribute(const std::string& attribute);
    GObjectPtr<AtspiAccessible> focusedAccessible();
    static void onFocusEvent(AtspiEvent* event, void* self);

    GDBusConnection* sessionBus_;
    bool connected_ = false;
    GObjectPtr<AtspiEventListener> focusListener_;
    GObjectPtr<AtspiAccessible> lastFocused_;
};

}  // namespace glimwick::os
