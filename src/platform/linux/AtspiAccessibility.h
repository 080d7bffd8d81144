#pragma once

#include <gio/gio.h>

#include <atspi/atspi.h>

#include <set>
#include <string>
#include <unordered_map>

#include "platform/Accessibility.h"
#include "platform/linux/GObjectPtr.h"

namespace glimwick::os {

// The accessibility interface on AT-SPI2. Connects to the accessibility bus lazily, once the
// session bus shows one, and lets go of everything when it goes away. Follows keyboard focus
// through focus events. An application that does not answer within the time-out is left alone for a
// while, so that a stopped one stalls the helper at most once in that while. Password fields are
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

    class Observer;

private:
    bool connected();
    void disconnect();
    ax::Answer systemWideAttribute(const std::string& attribute);
    GObjectPtr<AtspiAccessible> focusedAccessible();
    GObjectPtr<AtspiAccessible> focusedIn(AtspiAccessible* window);
    static void onFocusEvent(AtspiEvent* event, void* self);

    // One call to target's application, unless it is being left alone; code gets the result.
    template <typename Result, typename Body>
    Result ask(AtspiAccessible* target, ax::AXError& code, Body&& body);
    bool hasState(AtspiAccessible* accessible, AtspiStateType state);
    bool isPassword(AtspiAccessible* accessible);
    std::string roleName(AtspiAccessible* accessible, AtspiRole role);
    ax::Answer textOf(AtspiAccessible* accessible, AtspiText* text, gint start, gint end,
                      bool attributed);
    ax::Answer selectionAttribute(AtspiAccessible* accessible, const std::string& attribute);

    GDBusConnection* sessionBus_;
    guint busWatch_ = 0;
    bool connected_ = false;
    bool lost_ = false;  // the accessibility bus went away after we had connected
    GObjectPtr<AtspiEventListener> focusListener_;
    GObjectPtr<AtspiAccessible> lastFocused_;
    // Applications (by bus name) left alone until a monotonic time, in microseconds.
    std::unordered_map<std::string, gint64> unresponsiveUntil_;
    std::set<Observer*> observers_;
};

}  // namespace glimwick::os
