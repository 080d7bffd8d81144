#pragma once

#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "platform/linux/AtspiAccessibility.h"
#include "platform/linux/AtspiElements.h"

namespace glimwick::os {

inline constexpr const char* kTextSelectionChanged = "object:text-selection-changed";
// A selection made by the user moves the caret too; some toolkits send only that (KDE's editor,
// a selection set by a program).
inline constexpr const char* kCaretMoved = "object:text-caret-moved";

// One process's text-selection events, delivered while the source is installed. An
// application not yet on the accessibility bus is subscribed to by its process: the first
// event whose sender turns out to be that process binds the subscription to it. Cut loose by
// its owner when the accessibility bus goes away.
class AtspiAccessibility::Observer : public ax::Observer, public RunLoopSource {
public:
    Observer(AtspiAccessibility& owner, ax::ObserverCallback callback)
        : owner_(&owner), callback_(std::move(callback)) {
        owner_->observers_.insert(this);
    }
    ~Observer() override {
        detach();
        if (owner_ != nullptr) {
            owner_->observers_.erase(this);
        }
    }
    Observer(const Observer&) = delete;
    Observer& operator=(const Observer&) = delete;

    ax::AXError addNotification(const ax::ElementRef& application, const std::string& name,
                                ax::Context context) override {
        const AtspiElement* element = atspiElement(application);
        if (name != ax::kAXSelectedTextChangedNotification || element == nullptr ||
            owner_ == nullptr || !owner_->connected_ ||
            (!element->accessible && element->pid <= 0)) {
            return ax::kAXErrorNotificationUnsupported;
        }
        if (listener_) {
            return ax::kAXErrorNotificationAlreadyRegistered;
        }
        // An application still registering is named by its process until it is there.
        GObjectPtr<AtspiAccessible> app = element->accessible
                                              ? retained(element->accessible.get())
                                              : owner_->findApplication(element->pid, nullptr);
        listener_.reset(atspi_event_listener_new(&Observer::onEvent, this, nullptr));
        if (!listen(app.get())) {
            listener_.reset();
            return ax::kAXErrorNotificationUnsupported;
        }
        pendingPid_ = app ? 0 : element->pid;
        pid_ = app ? owner_->calls_.pid(app.get()).value_or(0) : element->pid;
        application_ = std::move(app);
        context_ = std::move(context);
        return ax::kAXErrorSuccess;
    }

    ax::AXError removeNotification(const ax::ElementRef&, const std::string& name) override {
        if (name != ax::kAXSelectedTextChangedNotification || !listener_) {
            return ax::kAXErrorNotificationUnsupported;
        }
        detach();
        return ax::kAXErrorSuccess;
    }

    RunLoopSource& runLoopSource() override { return *this; }
    void setInstalled(bool installed) override { installed_ = installed; }
    bool isInstalled() const override { return installed_; }

    // Whether bus's application's selection events reach us through this observer.
    bool hears(const char* bus) const {
        const char* target = busNameOf(application_.get());
        return installed_ && listener_ && bus != nullptr && target != nullptr &&
               std::strcmp(bus, target) == 0;
    }

    // bus's application has left the accessibility bus.
    void forget(const std::string& bus) { strangers_.erase(bus); }

    // The owner is going first.
    void orphan() {
        detach();
        owner_ = nullptr;
    }

    void detach() {
        if (listener_) {
            unlisten();
            listener_.reset();
        }
        application_.reset();
        pendingPid_ = 0;
        pid_ = 0;
        strangers_.clear();
        alive_ = std::make_shared<bool>(true);  // forgets resolutions under way
    }

    // PRIMARY changed, and owner had (or has) it.
    void primaryChanged(Pid owner) {
        if (installed_ && listener_ && owner > 0 && owner == pid_) {
            deliver(std::make_shared<PrimaryElement>(owner));
        }
    }

private:
    // Registers for one application's events, or for everyone's while it is not there yet.
    // Caret moves are asked of a known application only: everyone's would be a flood.
    bool listen(AtspiAccessible* application) {
        GError* raw = nullptr;
        gboolean registered =
            application != nullptr
                ? atspi_event_listener_register_with_app(listener_.get(), kTextSelectionChanged,
                                                         nullptr, application, &raw)
                : atspi_event_listener_register_full(listener_.get(), kTextSelectionChanged,
                                                     nullptr, &raw);
        GErrorPtr error(raw);
        if (registered != FALSE && application != nullptr) {
            GError* caretRaw = nullptr;
            atspi_event_listener_register_with_app(listener_.get(), kCaretMoved, nullptr,
                                                   application, &caretRaw);
            GErrorPtr caretError(caretRaw);
        }
        return registered != FALSE;
    }

    void unlisten() {
        atspi_event_listener_deregister(listener_.get(), kTextSelectionChanged, nullptr);
        atspi_event_listener_deregister(listener_.get(), kCaretMoved, nullptr);
    }

    void deliver(AtspiAccessible* source) { deliver(elementFor(retained(source))); }
    void deliver(const ax::ElementRef& element) {
        ax::Context context = context_;
        callback_(*this, element, ax::kAXSelectedTextChangedNotification, context);
    }

    // Runs inside AT-SPI's dispatch, possibly nested in another AT-SPI call: it makes no
    // AT-SPI call itself, and leaves finding a sender's process to the main loop.
    static void onEvent(AtspiEvent* event, void* self) {
        auto* observer = static_cast<Observer*>(self);
        const char* source = busNameOf(event->source);
        if (observer->installed_ && source != nullptr) {
            if (const char* target = busNameOf(observer->application_.get())) {
                if (std::strcmp(source, target) == 0) {
                    // A caret move only says the selection may have changed: the next tick
                    // reads it.
                    bool caret =
                        event->type != nullptr && std::strcmp(event->type, kCaretMoved) == 0;
                    if (observer->owner_ != nullptr) {
                        observer->owner_->heard(source, caret);
                    }
                    if (!caret) {
                        observer->deliver(event->source);
                    }
                }
            } else if (observer->pendingPid_ > 0 && observer->strangers_.count(source) == 0) {
                observer->resolveLater(event->source);
            }
        }
        g_boxed_free(ATSPI_TYPE_EVENT, event);
    }

    struct Resolution {
        Observer* observer;
        std::weak_ptr<bool> alive;
        GObjectPtr<AtspiAccessible> source;
    };

    void resolveLater(AtspiAccessible* source) {
        auto resolution = std::make_unique<Resolution>(Resolution{this, alive_, retained(source)});
        g_idle_add_full(
            G_PRIORITY_DEFAULT,
            [](gpointer data) {
                auto* resolution = static_cast<Resolution*>(data);
                if (!resolution->alive.expired()) {
                    resolution->observer->resolve(resolution->source.get());
                }
                return G_SOURCE_REMOVE;
            },
            resolution.release(),
            [](gpointer data) { std::unique_ptr<Resolution>(static_cast<Resolution*>(data)); });
    }

    void resolve(AtspiAccessible* source) {
        if (owner_ == nullptr || pendingPid_ <= 0 || !listener_) {
            return;
        }
        const char* bus = busNameOf(source);
        GObjectPtr<AtspiAccessible> application = owner_->calls_.application(source);
        auto pid = application ? owner_->calls_.pid(application.get()) : std::nullopt;
        if (!pid || *pid != pendingPid_) {
            if (bus != nullptr && pid) {
                strangers_.insert(bus);
            }
            return;
        }
        // Our application has arrived: from now on only its events.
        unlisten();
        if (!listen(application.get())) {
            listener_.reset();
            pendingPid_ = 0;
            return;
        }
        application_ = std::move(application);
        pendingPid_ = 0;
        strangers_.clear();
        if (installed_) {
            deliver(source);
        }
    }

    AtspiAccessibility* owner_;
    ax::ObserverCallback callback_;
    GObjectPtr<AtspiEventListener> listener_;
    GObjectPtr<AtspiAccessible> application_;
    Pid pid_ = 0;  // the process observed
    Pid pendingPid_ = 0;
    std::set<std::string> strangers_;  // bus names of other processes, while they are there
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    ax::Context context_;
    bool installed_ = false;
};

}  // namespace glimwick::os
