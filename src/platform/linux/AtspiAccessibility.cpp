#include "platform/linux/AtspiAccessibility.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <string_view>
#include <utility>

#include "diagnostics/Messages.h"
#include "platform/linux/AtspiRoles.h"

namespace glimwick::os {

namespace {

constexpr const char* kA11yBusName = "org.a11y.Bus";
constexpr const char* kA11yBusPath = "/org/a11y/bus";
constexpr const char* kA11yStatus = "org.a11y.Status";
constexpr const char* kTextSelectionChanged = "object:text-selection-changed";
// A selection made by the user moves the caret too; some toolkits send only that (KDE's editor,
// a selection set by a program).
constexpr const char* kCaretMoved = "object:text-caret-moved";
constexpr const char* kFocusChanged = "object:state-changed:focused";
// GTK 3 sends both, GTK 4 only the state change.
constexpr const char* kWindowEvents[] = {"window:activate", "window:deactivate",
                                         "object:state-changed:active"};
constexpr gint kBusCallTimeoutMs = 1000;
// A reading of one selection stops here and fails whole, so that no reading blocks the main
// loop for a second, with room for what else that turn of the loop does.
constexpr gint64 kReadingBudgetUs = gint64{900} * 1000;
// A reading that took this long is kept while the application's events say nothing changed,
// without asking for its selection again (which costs a browser as much as the reading).
constexpr gint64 kCostlyReadingUs = gint64{50} * 1000;
// Even then its range is checked again after this long, for applications that send none.
constexpr gint64 kReadingLifetimeUs = gint64{2} * G_USEC_PER_SEC;
// Firefox places a new selection about 0.1 s after it announces it (on Wayland, an empty box
// first): a reading without a place is measured again for this long, which takes in the
// evaluation after the 0.2 s debounce. Not a selection of many objects, whose measuring costs
// the application as much as its reading.
constexpr gint64 kBoundsSettleUs = gint64{300} * 1000;
constexpr size_t kMaxSettlingSpans = 32;
// Parents walked up from a focused object to its window.
constexpr int kMaxWindowDepth = 32;
// Objects looked at when searching a window for the focus without the Collection interface.
constexpr int kMaxFocusWalk = 1500;
constexpr gint64 kFruitlessWalkPauseUs = gint64{2} * G_USEC_PER_SEC;
// The focused object's state is asked again after this long, while its focus events say
// nothing.
constexpr gint64 kFocusLifetimeUs = gint64{2} * G_USEC_PER_SEC;
// Objects with text looked at to tell whether an application shows any, and how much of each.
constexpr int kMaxTextSample = 32;
constexpr std::string_view kObjectReplacement = "\xEF\xBF\xBC";  // U+FFFC
constexpr int kReadableSample = 64;
// Views in a window looked at for a web page shown by another process.
constexpr int kMaxWebViews = 64;
constexpr int kWebDocumentDepth = 3;
constexpr int kWebViewChildren = 4;
// WebKit sets PRIMARY before its accessibility shows the new selection: for this long after
// each change, a page is looked through again on every evaluation.
constexpr gint64 kPrimarySettleUs = gint64{2} * G_USEC_PER_SEC;
// Whether an application shows any text is asked again after this long.
constexpr gint64 kTextShownLifetimeUs = gint64{5} * G_USEC_PER_SEC;
// Between searches of every application for its active window, when no event named one.
constexpr gint64 kActiveSearchPauseUs = G_USEC_PER_SEC;

struct AtspiElement : ax::Element {
    AtspiElement(GObjectPtr<AtspiAccessible> accessible, Pid pid)
        : accessible(std::move(accessible)), pid(pid) {}
    GObjectPtr<AtspiAccessible> accessible;  // null for an application not on the bus (yet)
    Pid pid;                                 // the process asked for, for such an application
};

struct SystemWide : ax::Element {};

// The focused element of an application read through its PRIMARY selection.
struct PrimaryElement : ax::Element {
    explicit PrimaryElement(Pid pid) : pid(pid) {}
    Pid pid;
};

ax::ElementRef elementFor(GObjectPtr<AtspiAccessible> accessible, Pid pid = 0) {
    return std::make_shared<AtspiElement>(std::move(accessible), pid);
}

const AtspiElement* atspiElement(const ax::ElementRef& element) {
    return dynamic_cast<const AtspiElement*>(element.get());
}

AtspiAccessible* accessibleOf(const ax::ElementRef& element) {
    const auto* atspi = atspiElement(element);
    return atspi != nullptr ? atspi->accessible.get() : nullptr;
}

// Offsets as AT-SPI takes them (32-bit).
std::optional<Offsets> offsetsOf(const ax::Range& range) {
    if (range.location < 0 || range.length < 0 || range.location > G_MAXINT ||
        range.length > G_MAXINT - range.location) {
        return std::nullopt;
    }
    return Offsets{static_cast<int>(range.location),
                   static_cast<int>(range.location + range.length)};
}

}  // namespace

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
    std::set<std::string> strangers_;  // bus names of other processes
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    ax::Context context_;
    bool installed_ = false;
};

AtspiAccessibility::AtspiAccessibility(GDBusConnection* sessionBus, WindowOrigin windowOrigin,
                                       X11Primary* primary)
    : sessionBus_(sessionBus), primary_(primary), reader_(calls_, std::move(windowOrigin)) {
    if (primary_ != nullptr) {
        primary_->setChangedHandler([this](Pid owner) {
            for (Observer* observer : observers_) {
                observer->primaryChanged(owner);
            }
        });
    }
    busWatch_ = g_bus_watch_name_on_connection(
        sessionBus_, kA11yBusName, G_BUS_NAME_WATCHER_FLAGS_NONE, nullptr,
        [](GDBusConnection*, const gchar*, gpointer self) {
            static_cast<AtspiAccessibility*>(self)->disconnect();
        },
        this, nullptr);
}

AtspiAccessibility::~AtspiAccessibility() {
    if (resumeWatch_ != 0) {
        g_source_remove(resumeWatch_);
    }
    if (primary_ != nullptr) {
        primary_->setChangedHandler(nullptr);
    }
    g_bus_unwatch_name(busWatch_);
    for (Observer* observer : observers_) {
        observer->orphan();
    }
    disconnect();
}

bool AtspiAccessibility::connected() {
    if (connected_) {
        return true;
    }
    if (lost_) {
        return false;
    }
    // Ask without starting anything: an absent accessibility bus stays absent.
    GVariant* reply = g_dbus_connection_call_sync(
        sessionBus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "NameHasOwner", g_variant_new("(s)", kA11yBusName), G_VARIANT_TYPE("(b)"),
        G_DBUS_CALL_FLAGS_NONE, kBusCallTimeoutMs, nullptr, nullptr);
    if (reply == nullptr) {
        return false;
    }
    GVariantPtr owned(reply);
    gboolean hasOwner = FALSE;
    g_variant_get(reply, "(b)", &hasOwner);
    if (!hasOwner) {
        return false;
    }
    int status = atspi_init();
    if (status != 0 && status != 1) {
        return false;
    }
    connected_ = true;
    focusListener_.reset(
        atspi_event_listener_new(&AtspiAccessibility::onFocusEvent, this, nullptr));
    atspi_event_listener_register(focusListener_.get(), kFocusChanged, nullptr);
    windowListener_.reset(
        atspi_event_listener_new(&AtspiAccessibility::onWindowEvent, this, nullptr));
    for (const char* event : kWindowEvents) {
        atspi_event_listener_register(windowListener_.get(), event, nullptr);
    }
    connectBatch();
    return true;
}

void AtspiAccessibility::connectBatch() {
    GVariant* reply = g_dbus_connection_call_sync(
        sessionBus_, kA11yBusName, kA11yBusPath, kA11yBusName, "GetAddress", nullptr,
        G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, kBusCallTimeoutMs, nullptr,
        nullptr);
    if (reply == nullptr) {
        return;  // then selections are read one request at a time
    }
    GVariantPtr owned(reply);
    const gchar* address = nullptr;
    g_variant_get(reply, "(&s)", &address);
    batch_ = TextBatch::open(address, g_get_monotonic_time() + gint64{kBusCallTimeoutMs} * 1000);
    reader_.setBatch(batch_.get());
}

void AtspiAccessibility::disconnect() {
    if (!connected_) {
        return;
    }
    // Everything that points into the old connection goes before it does.
    for (Observer* observer : observers_) {
        observer->detach();
    }
    atspi_event_listener_deregister(focusListener_.get(), kFocusChanged, nullptr);
    focusListener_.reset();
    lastFocused_.reset();
    inside_ = {};
    for (const char* event : kWindowEvents) {
        atspi_event_listener_deregister(windowListener_.get(), event, nullptr);
    }
    windowListener_.reset();
    activeWindow_.reset();
    front_ = {};
    webDocument_.reset();
    webView_.reset();
    webField_ = {};
    reading_.reset();
    unannounced_.clear();
    reader_.setBatch(nullptr);
    batch_.reset();
    calls_.forget();
    // libatspi cannot connect a second time in one process (it is not re-initialisable), so
    // access stays disabled, as it really is for this process, until the helper is restarted.
    connected_ = false;
    lost_ = true;
}

void AtspiAccessibility::onFocusEvent(AtspiEvent* event, void* self) {
    auto* accessibility = static_cast<AtspiAccessibility*>(self);
    if (event->source != nullptr) {
        if (event->detail1 != 0) {
            if (accessibility->lastFocused_.get() != event->source) {
                ++accessibility->focusMoves_;
                if (accessibility->primary_ != nullptr) {
                    accessibility->primary_->focusMoved();
                }
            }
            accessibility->lastFocused_ = retained(event->source);
        } else if (accessibility->lastFocused_.get() == event->source) {
            accessibility->lastFocused_.reset();
        }
    }
    g_boxed_free(ATSPI_TYPE_EVENT, event);
}

void AtspiAccessibility::onWindowEvent(AtspiEvent* event, void* self) {
    auto* accessibility = static_cast<AtspiAccessibility*>(self);
    if (event->source != nullptr && event->type != nullptr) {
        // Whether the source is a top-level window is checked when it is asked for: no call
        // to the application from inside the event's dispatch.
        bool activated =
            std::strcmp(event->type, "window:activate") == 0 ||
            (std::strcmp(event->type, "window:deactivate") != 0 && event->detail1 != 0);
        ++accessibility->windowMoves_;
        if (activated) {
            accessibility->activeWindow_ = retained(event->source);
        } else if (accessibility->activeWindow_.get() == event->source) {
            accessibility->activeWindow_.reset();
        }
    }
    g_boxed_free(ATSPI_TYPE_EVENT, event);
}

template <typename Visit>
bool AtspiAccessibility::forEachActiveWindow(Visit&& visit) {
    GObjectPtr<AtspiAccessible> desktop(atspi_get_desktop(0));
    int apps = calls_.childCount(desktop.get()).value_or(0);
    for (int i = 0; i < apps; ++i) {
        GObjectPtr<AtspiAccessible> app = calls_.child(desktop.get(), i);
        int windows = app ? calls_.childCount(app.get()).value_or(0) : 0;
        for (int j = 0; j < windows; ++j) {
            GObjectPtr<AtspiAccessible> window = calls_.child(app.get(), j);
            if (window && calls_.hasState(window.get(), ATSPI_STATE_ACTIVE) &&
                visit(window.get())) {
                return true;
            }
        }
    }
    return false;
}

std::optional<RunningApplication> AtspiAccessibility::activeApplication() {
    if (!connected()) {
        return std::nullopt;
    }
    // Window events keep the answer true; it is asked again once they say something moved,
    // and after a while, for events that never came.
    gint64 now = g_get_monotonic_time();
    if (front_.moves == windowMoves_ && now < front_.until) {
        return front_.application;
    }
    front_.application = findActiveApplication();
    front_.moves = windowMoves_;
    // None found is looked for again as soon as a search may be made again.
    front_.until = now + (front_.application ? kFocusLifetimeUs : kActiveSearchPauseUs);
    return front_.application;
}

std::optional<RunningApplication> AtspiAccessibility::findActiveApplication() {
    auto isActiveWindow = [this](AtspiAccessible* window) {
        auto role = calls_.role(window);
        return role && isTopLevel(*role) && calls_.hasState(window, ATSPI_STATE_ACTIVE);
    };
    if (activeWindow_ && !isActiveWindow(activeWindow_.get())) {
        activeWindow_.reset();
    }
    gint64 now = g_get_monotonic_time();
    if (!activeWindow_ && now >= nextActiveSearch_) {
        nextActiveSearch_ = now + kActiveSearchPauseUs;
        // Those it visits say they are active already.
        forEachActiveWindow([&](AtspiAccessible* window) {
            auto role = calls_.role(window);
            if (!role || !isTopLevel(*role)) {
                return false;
            }
            activeWindow_ = retained(window);
            return true;
        });
    }
    const char* bus = busNameOf(activeWindow_.get());
    if (bus == nullptr) {
        return std::nullopt;
    }
    // A connection's process and name stay what they were.
    if (front_.application && front_.bus == bus) {
        return front_.application;
    }
    auto pid = calls_.pid(activeWindow_.get());
    if (!pid || *pid <= 0) {
        return std::nullopt;
    }
    GObjectPtr<AtspiAccessible> app = calls_.application(activeWindow_.get());
    front_.bus = bus;
    return RunningApplication{*pid, app ? calls_.name(app.get()) : std::nullopt};
}

std::optional<Point> AtspiAccessibility::focusPoint() {
    if (!connected()) {
        return std::nullopt;
    }
    GObjectPtr<AtspiAccessible> focused = focusedAccessible();
    if (!focused) {
        return std::nullopt;
    }
    // A password's text is not handed out: where its caret stands would say how long it is.
    if (auto caret = reader_.caretPoint(focused.get())) {
        return caret;
    }
    auto box = calls_.extents(focused.get(), ATSPI_COORD_TYPE_SCREEN);
    if (!box || box->width <= 0 || box->height <= 0) {
        return std::nullopt;
    }
    return Point{box->x + box->width / 2, box->y + box->height / 2};
}

void AtspiAccessibility::heard(const char* bus, bool caret) {
    Heard& from = heard_[bus];
    ++(caret ? from.carets : from.selections);
}

bool AtspiAccessibility::eventsArrive(AtspiAccessible* accessible) const {
    const char* bus = busNameOf(accessible);
    if (bus == nullptr || unannounced_.count(bus) != 0) {
        return false;
    }
    return std::any_of(observers_.begin(), observers_.end(),
                       [bus](const Observer* observer) { return observer->hears(bus); });
}

AtspiAccessibility::Heard AtspiAccessibility::heardOf(AtspiAccessible* accessible) const {
    const char* bus = busNameOf(accessible);
    auto found = bus != nullptr ? heard_.find(bus) : heard_.end();
    return found != heard_.end() ? found->second : Heard{};
}

bool AtspiAccessibility::isProcessTrusted(bool prompt) {
    if (prompt) {
        // Asks the desktop to turn accessibility on, starting its bus if need be.
        GVariantPtr set(g_dbus_connection_call_sync(
            sessionBus_, kA11yBusName, kA11yBusPath, "org.freedesktop.DBus.Properties", "Set",
            g_variant_new("(ssv)", kA11yStatus, "IsEnabled", g_variant_new_boolean(TRUE)), nullptr,
            G_DBUS_CALL_FLAGS_NONE, kBusCallTimeoutMs, nullptr, nullptr));
    }
    GVariant* reply = g_dbus_connection_call_sync(
        sessionBus_, kA11yBusName, kA11yBusPath, "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", kA11yStatus, "IsEnabled"), G_VARIANT_TYPE("(v)"),
        G_DBUS_CALL_FLAGS_NO_AUTO_START, kBusCallTimeoutMs, nullptr, nullptr);
    if (reply == nullptr) {
        return false;
    }
    GVariantPtr owned(reply);
    GVariant* boxed = nullptr;
    g_variant_get(reply, "(v)", &boxed);
    GVariantPtr value(boxed);
    return value && g_variant_is_of_type(value.get(), G_VARIANT_TYPE_BOOLEAN) &&
           g_variant_get_boolean(value.get());
}

ax::ElementRef AtspiAccessibility::createSystemWide() {
    return std::make_shared<SystemWide>();
}

GObjectPtr<AtspiAccessible> AtspiAccessibility::findApplication(Pid pid, bool* surely) {
    GObjectPtr<AtspiAccessible> desktop(atspi_get_desktop(0));
    auto count = calls_.childCount(desktop.get());
    bool sure = count.has_value();
    for (int i = 0; i < count.value_or(0); ++i) {
        GObjectPtr<AtspiAccessible> app = calls_.child(desktop.get(), i);
        auto found = app ? calls_.pid(app.get()) : std::nullopt;
        if (found == pid) {
            return app;
        }
        sure = sure && found.has_value();
    }
    if (surely != nullptr) {
        *surely = sure;
    }
    return nullptr;
}

ax::ElementRef AtspiAccessibility::createApplication(Pid pid) {
    if (!connected() || pid <= 0) {
        return elementFor(nullptr);
    }
    // Found when something is asked of it: unbinding asks nothing.
    return elementFor(nullptr, pid);
}

template <typename Found>
GObjectPtr<AtspiAccessible> AtspiAccessibility::walk(AtspiAccessible* root, Found&& found) {
    std::deque<GObjectPtr<AtspiAccessible>> queue;
    queue.push_back(retained(root));
    for (int visited = 0; !queue.empty() && visited < kMaxFocusWalk; ++visited) {
        GObjectPtr<AtspiAccessible> current = std::move(queue.front());
        queue.pop_front();
        GObjectPtr<AtspiStateSet> states = calls_.states(current.get());
        if (!states) {
            continue;
        }
        if (current.get() != root) {
            if (found(current.get(), states.get())) {
                return current;
            }
            // GTK 4 marks what is below a window visible, never showing.
            if (!atspi_state_set_contains(states.get(), ATSPI_STATE_VISIBLE) ||
                atspi_state_set_contains(states.get(), ATSPI_STATE_MANAGES_DESCENDANTS)) {
                continue;
            }
        }
        int children = calls_.childCount(current.get()).value_or(0);
        for (int i = 0; i < children && visited + static_cast<int>(queue.size()) < kMaxFocusWalk;
             ++i) {
            if (auto child = calls_.child(current.get(), i)) {
                queue.push_back(std::move(child));
            }
        }
    }
    return nullptr;
}

GObjectPtr<AtspiAccessible> AtspiAccessibility::focusedIn(AtspiAccessible* window) {
    // Qt marks the tabs and panes around its focused text focused too: a text first.
    for (const char* kind : {"text", static_cast<const char*>(nullptr)}) {
        auto focused = calls_.matching(window, ATSPI_STATE_FOCUSED, kind, 1, true);
        if (focused && !focused->empty()) {
            return std::move(focused->front());
        }
    }
    // Toolkits without Collection (GTK 4), or whose Collection finds nothing focused (Qt): a
    // bounded walk through what is visible, for a focused text, else the first focused object.
    GObjectPtr<AtspiAccessible> first;
    GObjectPtr<AtspiAccessible> text =
        walk(window, [&](AtspiAccessible* object, AtspiStateSet* states) {
            if (atspi_state_set_contains(states, ATSPI_STATE_FOCUSED) == FALSE) {
                return false;
            }
            if (calls_.offersText(object)) {
                return true;
            }
            if (!first) {
                first = retained(object);
            }
            return false;
        });
    return text ? std::move(text) : std::move(first);
}

GObjectPtr<AtspiAccessible> AtspiAccessibility::focusedAccessible() {
    gint64 now = g_get_monotonic_time();
    // Focus events keep lastFocused_ true; its state is asked again once the focus or the
    // active window moved, and after a while, for events that never came.
    std::uint64_t moves =
        focusMoves_ + windowMoves_ + (primary_ != nullptr ? primary_->activeGeneration() : 0);
    bool confirmed = lastFocused_ && focusConfirmed_.moves == moves && now < focusConfirmed_.until;
    if (lastFocused_ && (confirmed || calls_.hasState(lastFocused_.get(), ATSPI_STATE_FOCUSED))) {
        if (!confirmed) {
            focusConfirmed_ = {moves, now + kFocusLifetimeUs};
        }
        return focusedTextWithin(retained(lastFocused_.get()));
    }
    lastFocused_.reset();
    // A web document found in place of the focus stays while nothing moves and it is shown.
    if (webDocument_ && webConfirmed_.moves == moves && now >= webConfirmed_.until) {
        webConfirmed_.until = now + kFocusLifetimeUs;
        GObjectPtr<AtspiAccessible> shown = calls_.child(webView_.get(), 0);
        if (!shown || identityOf(shown.get()) != webRoot_) {
            webDocument_.reset();  // the view shows another page's process now, or none
        }
    }
    if (webDocument_ && webConfirmed_.moves == moves) {
        return focusedInPage();
    }
    webDocument_.reset();
    webField_ = {};
    // No focus event seen yet (or a stale one): look in the active window of each application.
    GObjectPtr<AtspiAccessible> found;
    forEachActiveWindow([&](AtspiAccessible* window) {
        std::string identity = identityOf(window);
        if (fruitlessWindow_.holds(identity, now)) {
            return false;
        }
        found = focusedIn(window);
        if (!found) {
            webDocument_ = webDocumentIn(window);
            webConfirmed_ = {moves, now + kFocusLifetimeUs};
        }
        if (found || webDocument_) {
            return true;
        }
        // Searching again on every reading would cost the application as much each time.
        fruitlessWindow_ = {std::move(identity), now + kFruitlessWalkPauseUs};
        return false;
    });
    lastFocused_ = found ? retained(found.get()) : nullptr;
    return found ? focusedTextWithin(std::move(found)) : focusedInPage();
}

// Some toolkits give a container the focused state along with the text inside it that has it
// too (LibreOffice's document window and its paragraph): the text is the focus. A document
// without text of its own is its own source; a list or table that manages its children would
// have to make every one of them to be searched.
GObjectPtr<AtspiAccessible> AtspiAccessibility::focusedTextWithin(
    GObjectPtr<AtspiAccessible> focused) {
    if (!focused || calls_.offersText(focused.get()) ||
        reader_.sourceOf(focused.get()) != Source::none) {
        return focused;
    }
    gint64 now = g_get_monotonic_time();
    std::string identity = identityOf(focused.get());
    // A text found before is kept while it keeps the focus: one question, not a search.
    bool kept = inside_.container.identity == identity && inside_.text &&
                calls_.hasState(inside_.text.get(), ATSPI_STATE_FOCUSED);
    if (kept) {
        inside_.container.until = now + kFruitlessWalkPauseUs;
    } else if (!inside_.container.holds(identity, now)) {
        inside_ = {{identity, now + kFruitlessWalkPauseUs}, nullptr};
        GObjectPtr<AtspiAccessible> inner;
        if (!calls_.hasState(focused.get(), ATSPI_STATE_MANAGES_DESCENDANTS)) {
            inner = focusedIn(focused.get());
        }
        // Qt sends the focus to a list's cell or a tab beside its editor, and marks the
        // editor's text focused too: a focused text of the same window is the focus. Only
        // Qt's: elsewhere a focused button would have its window searched every time.
        if ((!inner || !calls_.offersText(inner.get())) && isQt(focused.get())) {
            GObjectPtr<AtspiAccessible> window = windowOf(focused.get());
            inner = window ? focusedIn(window.get()) : nullptr;
        }
        if (inner && calls_.offersText(inner.get())) {
            inside_.text = std::move(inner);
        }
    }
    return inside_.text ? retained(inside_.text.get()) : std::move(focused);
}

bool AtspiAccessibility::isQt(AtspiAccessible* accessible) {
    GObjectPtr<AtspiAccessible> app = calls_.application(accessible);
    return app && calls_.toolkit(app.get()) == "Qt";
}

bool AtspiAccessibility::primarySettling() const {
    return primary_ != nullptr &&
           g_get_monotonic_time() - primary_->ownerChangedAt() < kPrimarySettleUs;
}

// The window that accessible is in: the application's child above it (Qt nests frames).
GObjectPtr<AtspiAccessible> AtspiAccessibility::windowOf(AtspiAccessible* accessible) {
    GObjectPtr<AtspiAccessible> at = retained(accessible);
    for (int up = 0; at && up < kMaxWindowDepth; ++up) {
        GObjectPtr<AtspiAccessible> parent = calls_.parent(at.get());
        auto role = parent ? calls_.role(parent.get()) : std::nullopt;
        if (role == ATSPI_ROLE_APPLICATION) {
            return at;
        }
        at = std::move(parent);
    }
    return nullptr;
}

// A text field of the page has the focus state, though the page itself never has: then the
// field is the focus. Looked for again only when a selection may have been made (PRIMARY
// changed), or every time without X11: the search costs a long page much.
GObjectPtr<AtspiAccessible> AtspiAccessibility::focusedInPage() {
    if (!webDocument_) {
        return nullptr;
    }
    bool signalled = primary_ != nullptr && primary_->available();
    if (!signalled || !webField_.searched || webField_.primaryChanges != primaryChanges() ||
        primarySettling()) {
        auto inner = calls_.matching(webDocument_.get(), ATSPI_STATE_FOCUSED, nullptr, 1, true);
        bool editable =
            inner && !inner->empty() && calls_.hasState(inner->front().get(), ATSPI_STATE_EDITABLE);
        webField_ = {editable ? std::move(inner->front()) : nullptr, primaryChanges(), true};
    }
    return retained(webField_.field ? webField_.field.get() : webDocument_.get());
}

// WebKitGTK marks nothing of a page focused, not even while the keyboard is in it: the page's
// document, which another process shows inside window's web view, stands in for the focus.
GObjectPtr<AtspiAccessible> AtspiAccessibility::webDocumentIn(AtspiAccessible* window) {
    const char* own = busNameOf(window);
    // The view has no states at all; the page's own are not asked: a long page works them out
    // over all of its content.
    auto views =
        calls_.matching(window, std::nullopt, nullptr, kMaxWebViews, true, ATSPI_ROLE_FILLER)
            .value_or(std::vector<GObjectPtr<AtspiAccessible>>{});
    for (auto& view : views) {
        GObjectPtr<AtspiAccessible> root =
            calls_.childCount(view.get()) == 1 ? calls_.child(view.get(), 0) : nullptr;
        const char* bus = busNameOf(root.get());
        if (own == nullptr || bus == nullptr || std::strcmp(bus, own) == 0) {
            continue;
        }
        std::string identity = identityOf(root.get());
        if (auto document = webDocumentBelow(std::move(root))) {
            webView_ = std::move(view);
            webRoot_ = std::move(identity);
            return document;
        }
    }
    return nullptr;
}

// The page's root offers no Collection, and what holds the document says it is not visible: a
// few levels straight down, a few children each.
GObjectPtr<AtspiAccessible> AtspiAccessibility::webDocumentBelow(GObjectPtr<AtspiAccessible> root) {
    std::vector<GObjectPtr<AtspiAccessible>> level;
    level.push_back(std::move(root));
    for (int depth = 0; depth <= kWebDocumentDepth && !level.empty(); ++depth) {
        std::vector<GObjectPtr<AtspiAccessible>> next;
        for (auto& object : level) {
            if (calls_.role(object.get()) == ATSPI_ROLE_DOCUMENT_WEB) {
                return std::move(object);
            }
            int children = std::min(calls_.childCount(object.get()).value_or(0), kWebViewChildren);
            for (int i = 0; i < children; ++i) {
                if (auto child = calls_.child(object.get(), i)) {
                    next.push_back(std::move(child));
                }
            }
        }
        level = std::move(next);
    }
    return nullptr;
}

ax::Answer AtspiAccessibility::systemWideAttribute(const std::string& attribute) {
    if (attribute != ax::kAXFocusedUIElementAttribute &&
        attribute != ax::kAXFocusedApplicationAttribute) {
        return {ax::kAXErrorAttributeUnsupported, std::nullopt};
    }
    if (!connected()) {
        return {ax::kAXErrorAPIDisabled, std::nullopt};
    }
    if (attribute == ax::kAXFocusedUIElementAttribute) {
        ++evaluation_;
    }
    GObjectPtr<AtspiAccessible> focused = focusedAccessible();
    if (auto pid = primaryStandsIn(focused.get())) {
        if (attribute == ax::kAXFocusedUIElementAttribute) {
            return {0, std::make_shared<PrimaryElement>(*pid)};
        }
        return {0, elementFor(nullptr, *pid)};
    }
    if (!focused) {
        return {ax::kAXErrorNoValue, std::nullopt};
    }
    if (attribute == ax::kAXFocusedUIElementAttribute) {
        return {0, elementFor(std::move(focused))};
    }
    GObjectPtr<AtspiAccessible> app = calls_.application(focused.get());
    if (!app) {
        ax::AXError code = calls_.lastError();
        return {code != 0 ? code : ax::kAXErrorNoValue, std::nullopt};
    }
    return {0, elementFor(std::move(app))};
}

// One reading serves every question of one evaluation, so that the text, the range and the
// bounds agree. It serves later evaluations too while nothing can have changed unheard: the
// application's events reach us and say nothing changed, or the reading was costly and its
// mark is the same. Even then the mark is asked again after a while, for applications that
// announce less than they should. Null where accessible has no selection to read.
AtspiAccessibility::Reading* AtspiAccessibility::currentReading(AtspiAccessible* accessible) {
    std::string object = identityOf(accessible);
    Heard heard = heardOf(accessible);
    gint64 now = g_get_monotonic_time();
    bool same = reading_ && reading_->object == object && reading_->generation == heard.selections;
    if (same && reading_->evaluation == evaluation_) {
        return &*reading_;
    }
    // A reading that ran out of time goes on only once the main loop has turned: two
    // evaluations due at once must not spend two budgets in one turn.
    bool unfinished = same && !reading_->mark.empty() && !reading_->read;
    // A caret move asks for the mark again, and keeps what a reading got so far.
    bool trusted = reading_ && (reading_->costly || eventsArrive(accessible));
    bool stillTrue = trusted && reading_->carets == heard.carets &&
                     now - reading_->checkedAt < kReadingLifetimeUs;
    if ((unfinished && resumeWatch_ != 0) || (same && stillTrue && !unfinished)) {
        reading_->evaluation = evaluation_;
        return &*reading_;
    }
    Source source = reader_.sourceOf(accessible);
    if (source == Source::none) {
        return nullptr;
    }
    // In a WebKit page, where a scan costs a long page much, the blocks held by the last mark
    // are asked again, and all blocks on screen only when the selection may have moved to
    // others: WebKit sets PRIMARY to each new selection. Without X11 there is no such sign,
    // and other documents scan every time.
    bool rescan = !same || reading_->source != Source::blocks || primary_ == nullptr ||
                  !primary_->available() || reading_->primaryChanges != primaryChanges() ||
                  primarySettling() || !reader_.scanIsCostly(accessible);
    Mark mark = rescan ? reader_.markOf(accessible, source) : reader_.remark(reading_->mark);
    // What changed is looked at whole: the change may have moved the selection elsewhere.
    if (!rescan && mark != reading_->mark) {
        mark = reader_.markOf(accessible, source);
    }
    // A selection that changed while its application said nothing: from now on it is asked
    // on every evaluation.
    if (same && mark != reading_->mark && reading_->carets == heard.carets &&
        eventsArrive(accessible)) {
        if (const char* bus = busNameOf(accessible)) {
            unannounced_.insert(bus);
        }
    }
    // A page's text does not change under its selection unseen: its mark says enough.
    if (same && (trusted || source == Source::blocks) && reading_->read && reading_->mark == mark) {
        reading_->primaryChanges = primaryChanges();
        reading_->checkedAt = now;
        reading_->carets = heard.carets;
        reading_->evaluation = evaluation_;
        return &*reading_;
    }
    Reading fresh;
    fresh.object = std::move(object);
    fresh.generation = heard.selections;
    fresh.carets = heard.carets;
    fresh.evaluation = evaluation_;
    fresh.checkedAt = now;
    fresh.madeAt = now;
    fresh.source = source;
    fresh.mark = std::move(mark);
    fresh.primaryChanges = primaryChanges();
    if (!fresh.mark.empty()) {
        read(fresh, accessible, unfinished && reading_->mark == fresh.mark);
    }
    reading_ = std::move(fresh);
    return &*reading_;
}

// Reads what reading's mark stands for; goingOn: from what the last try got before its time
// ran out.
void AtspiAccessibility::read(Reading& reading, AtspiAccessible* accessible, bool goingOn) {
    if (batch_ && !goingOn) {
        batch_->forgetAnswers();
    }
    gint64 began = g_get_monotonic_time();
    reading.read = reader_.read(accessible, reading.mark, began + kReadingBudgetUs);
    gint64 done = g_get_monotonic_time();
    if (batch_ && reading.read) {
        batch_->forgetAnswers();
    }
    reading.checkedAt = done;
    reading.costly = done - began >= kCostlyReadingUs;
    if (!reading.read && resumeWatch_ == 0) {
        // Added now, so run in the next turn at the earliest, after what is waiting.
        resumeWatch_ = g_idle_add_full(
            G_PRIORITY_DEFAULT,
            [](gpointer self) -> gboolean {
                static_cast<AtspiAccessibility*>(self)->resumeWatch_ = 0;
                return G_SOURCE_REMOVE;
            },
            this, nullptr);
    }
}

// The selection's range as the logic sees it: a text's own; for blocks, the read text whole.
std::optional<Offsets> AtspiAccessibility::rangeOf(const Reading& reading) {
    if (reading.mark.empty()) {
        return std::nullopt;
    }
    if (reading.source == Source::text) {
        return reading.mark.front().range;
    }
    if (!reading.read) {
        return std::nullopt;
    }
    return Offsets{0, static_cast<int>(g_utf8_strlen(reading.read->text.c_str(), -1))};
}

// Where the read selection is, measured at most once per evaluation. One that had no place yet
// may have one now, while it settles (and once more after it was held back); one that had a
// place keeps it: measuring again would ask an application that may have stopped answering.
const std::optional<Rect>& AtspiAccessibility::placeOf(Reading& reading,
                                                       AtspiAccessible* accessible) {
    bool unplaced = reading.bounds && !*reading.bounds;
    bool settling = unplaced && reading.read->spans.size() <= kMaxSettlingSpans &&
                    (g_get_monotonic_time() - reading.madeAt < kBoundsSettleUs || reading.held);
    if (!reading.bounds || (settling && reading.measuredIn != evaluation_)) {
        reading.bounds = reader_.bounds(*reading.read, accessible);
        reading.measuredIn = evaluation_;
    }
    return *reading.bounds;
}

// Without a pointer (Wayland) the fallback rectangle can only stand at the caret, and a toolkit
// that places a new selection a moment after announcing it (Firefox) has placed no caret yet
// either: a new selection that has no place is not given out while it may still find one.
// Once that while is over it is measured once more, and given out with the fallback if need be.
bool AtspiAccessibility::awaitsPlace(Reading& reading, AtspiAccessible* accessible) {
    if (!reading.read || reading.mark.empty() || !pointerKnown_ || pointerKnown_() ||
        reading.read->spans.size() > kMaxSettlingSpans) {
        return false;
    }
    bool settling = g_get_monotonic_time() - reading.madeAt < kBoundsSettleUs;
    reading.held = !placeOf(reading, accessible) && settling;
    return reading.held;
}

ax::Answer AtspiAccessibility::selectionAttribute(AtspiAccessible* accessible,
                                                  const std::string& attribute) {
    Reading* reading = currentReading(accessible);
    if (reading == nullptr) {
        return {ax::kAXErrorAttributeUnsupported, std::nullopt};
    }
    if (awaitsPlace(*reading, accessible)) {
        return {ax::kAXErrorNoValue, std::nullopt};
    }
    if (attribute == ax::kAXSelectedTextAttribute) {
        if (reading->mark.empty()) {
            return {0, std::string()};
        }
        if (!reading->read) {
            return {ax::kAXErrorCannotComplete, std::nullopt};
        }
        return {0, reading->read->text};
    }
    if (auto range = rangeOf(*reading)) {
        return {0, ax::AXValue::range({range->start, range->end - range->start})};
    }
    if (!reading->mark.empty()) {
        return {ax::kAXErrorCannotComplete, std::nullopt};
    }
    GObjectPtr<AtspiText> text(calls_.textOf(accessible));
    if (!reading->caret && text) {
        auto caret = calls_.caret(accessible, text.get());
        if (!caret) {
            return {calls_.lastError(), std::nullopt};
        }
        reading->caret = std::max(*caret, 0);
    }
    return {0, ax::AXValue::range({reading->caret.value_or(0), 0})};
}

ax::Answer AtspiAccessibility::rangeAttribute(AtspiAccessible* accessible,
                                              const std::string& attribute,
                                              const ax::Range& range) {
    auto offsets = offsetsOf(range);
    if (!offsets) {
        return {ax::kAXErrorIllegalArgument, std::nullopt};
    }
    Reading* reading = currentReading(accessible);
    if (reading == nullptr) {
        return {ax::kAXErrorParameterizedAttributeUnsupported, std::nullopt};
    }
    // The selection's own range stands for the whole selection, so that the text and the
    // bounds of what the range answer gave agree with the selected text.
    std::optional<ReadText> other;
    const ReadText* read = nullptr;
    if (rangeOf(*reading) == *offsets) {
        if (!reading->read) {
            return {ax::kAXErrorCannotComplete, std::nullopt};
        }
        read = &*reading->read;
    } else {
        other = reader_.readRange(accessible, *offsets, g_get_monotonic_time() + kReadingBudgetUs);
        if (!other) {
            ax::AXError code = calls_.lastError();
            return {code != 0 ? code : ax::kAXErrorCannotComplete, std::nullopt};
        }
        read = &*other;
    }
    if (attribute == ax::kAXBoundsForRangeParameterizedAttribute) {
        std::optional<Rect> bounds =
            other ? reader_.bounds(*read, accessible) : placeOf(*reading, accessible);
        if (!bounds) {
            return {ax::kAXErrorNoValue, std::nullopt};
        }
        return {0, ax::AXValue::rect(*bounds)};
    }
    if (attribute == ax::kAXAttributedStringForRangeParameterizedAttribute) {
        return {0, ax::AttributedString{read->text}};
    }
    return {0, read->text};
}

// PRIMARY stands in only where accessibility cannot see: the front application is not on the
// accessibility bus, shows it no text at all (a browser started without accessibility), or
// has the focus in an object that draws its text itself (AbiWord's document, GTK 4's VTE).
// Never for a focused text, password field, address bar or search box, whose own rules hold.
std::optional<Pid> AtspiAccessibility::primaryStandsIn(AtspiAccessible* focused) {
    if (primary_ == nullptr || !primary_->available()) {
        return std::nullopt;
    }
    auto pid = primary_->focusedProcess();
    if (!pid || *pid <= 0) {
        return std::nullopt;
    }
    if (focused != nullptr &&
        (calls_.offersText(focused) || reader_.sourceOf(focused) != Source::none ||
         isSecret(calls_.role(focused)) || isExcludedControl(focused))) {
        return std::nullopt;
    }
    return showsText(*pid, focused) ? std::nullopt : pid;
}

// Both single- and multi-line text may report one role; the states tell them apart.
std::optional<std::string> AtspiAccessibility::axRoleOf(AtspiAccessible* accessible) {
    auto role = accessible != nullptr ? calls_.role(accessible) : std::nullopt;
    if (!role) {
        return std::nullopt;
    }
    bool multiLine = (*role == ATSPI_ROLE_TEXT || *role == ATSPI_ROLE_ENTRY) &&
                     calls_.hasState(accessible, ATSPI_STATE_MULTI_LINE);
    return axRoleName(*role, multiLine);
}

bool AtspiAccessibility::isExcludedControl(AtspiAccessible* accessible) {
    auto roleName = [this](AtspiAccessible* object) { return axRoleOf(object).value_or(""); };
    std::string role = roleName(accessible);
    if (!ax::isExcludedControl(role, ax::kAXToolbarRole)) {
        return false;
    }
    GObjectPtr<AtspiAccessible> parent = calls_.parent(accessible);
    return ax::isExcludedControl(role, roleName(parent.get()));
}

// Whether pid's application shows accessibility its text where the focus is: any object with
// text, unless the focus is in one that draws its own; also when that could not be found out
// (an application that does not answer is not one without accessibility). Asked again when
// the focus or the active window moves, or after a while (an application may arrive late).
bool AtspiAccessibility::showsText(Pid pid, AtspiAccessible* focused) {
    gint64 now = g_get_monotonic_time();
    std::uint64_t moves = focusMoves_ + primary_->activeGeneration();
    if (textShown_.pid == pid && textShown_.moves == moves && now < textShown_.until) {
        return textShown_.shows;
    }
    GObjectPtr<AtspiAccessible> app = focused != nullptr ? calls_.application(focused) : nullptr;
    bool absent = false;
    if (!app || calls_.pid(app.get()) != pid) {
        app = findApplication(pid, &absent);
    }
    bool shows = !absent;
    auto role = focused != nullptr ? calls_.role(focused) : std::nullopt;
    if (role && drawsOwnText(*role, [&] { return calls_.childCount(focused).value_or(1) > 0; })) {
        shows = false;
    } else if (app) {
        // Chromium without accessibility gives its frames a Text interface with no text.
        auto readable = [this](AtspiAccessible* object) {
            GObjectPtr<AtspiText> text = calls_.textOf(object);
            auto start = text ? calls_.text(object, text.get(), 0, kReadableSample) : std::nullopt;
            if (!start) {
                return false;
            }
            // Embedded-object characters only stand for other objects.
            std::string_view rest(*start);
            for (size_t at = 0; at < rest.size();) {
                if (rest.substr(at).starts_with(kObjectReplacement)) {
                    at += kObjectReplacement.size();
                } else if (std::string_view(" \t\r\n").find(rest[at]) != std::string_view::npos) {
                    ++at;
                } else {
                    return true;
                }
            }
            return false;
        };
        // What is on screen: LibreOffice's first few dozen objects with text are its closed
        // menus' items, all empty.
        auto found = calls_.matching(app.get(), ATSPI_STATE_SHOWING, "text", kMaxTextSample, true);
        shows = found ? std::any_of(found->begin(), found->end(),
                                    [&](const auto& object) { return readable(object.get()); })
                      : walk(app.get(), [&](AtspiAccessible* object, AtspiStateSet*) {
                            return readable(object);
                        }) != nullptr;
        shows = shows || calls_.leftAlone(busNameOf(app.get()));
        // Once per process: a Chromium-based program started without its accessibility.
        if (!shows && notice_ && noticed_.count(pid) == 0 &&
            calls_.toolkit(app.get()) == "Chromium") {
            noticed_.insert(pid);
            notice_(msg::browserWithoutDocument(calls_.name(app.get()).value_or("?"), pid));
        }
    }
    textShown_ = {pid, moves, now + kTextShownLifetimeUs, shows};
    return shows;
}

ax::Answer AtspiAccessibility::primaryAttribute(Pid pid, const std::string& attribute) {
    if (attribute == ax::kAXRoleAttribute) {
        return {0, std::string(axRoleName(ATSPI_ROLE_TEXT, true))};  // text, several lines
    }
    if (attribute == ax::kAXSelectedTextAttribute) {
        auto text = primary_->selectionOf(pid);
        if (!text) {
            return {ax::kAXErrorNoValue, std::nullopt};
        }
        return {0, std::move(*text)};
    }
    if (attribute == ax::kAXSelectedTextRangeAttribute || attribute == ax::kAXParentAttribute) {
        return {ax::kAXErrorNoValue, std::nullopt};
    }
    return {ax::kAXErrorAttributeUnsupported, std::nullopt};
}

ax::Answer AtspiAccessibility::copyAttributeValue(const ax::ElementRef& element,
                                                  const std::string& attribute) {
    if (dynamic_cast<const SystemWide*>(element.get()) != nullptr) {
        return systemWideAttribute(attribute);
    }
    if (const auto* primary = dynamic_cast<const PrimaryElement*>(element.get())) {
        return primaryAttribute(primary->pid, attribute);
    }
    AtspiAccessible* accessible = accessibleOf(element);
    if (accessible == nullptr || !connected_) {
        return {ax::kAXErrorInvalidUIElement, std::nullopt};
    }
    if (attribute == ax::kAXRoleAttribute) {
        auto role = axRoleOf(accessible);
        if (!role) {
            return {calls_.lastError(), std::nullopt};
        }
        return {0, std::move(*role)};
    }
    if (attribute == ax::kAXParentAttribute) {
        GObjectPtr<AtspiAccessible> parent = calls_.parent(accessible);
        if (!parent) {
            ax::AXError code = calls_.lastError();
            return {code != 0 ? code : ax::kAXErrorNoValue, std::nullopt};
        }
        return {0, elementFor(std::move(parent))};
    }
    if (attribute == ax::kAXTitleAttribute) {
        auto name = calls_.name(accessible);
        if (!name) {
            ax::AXError code = calls_.lastError();
            return {code != 0 ? code : ax::kAXErrorNoValue, std::nullopt};
        }
        return {0, std::move(*name)};
    }
    if (attribute == ax::kAXSelectedTextAttribute ||
        attribute == ax::kAXSelectedTextRangeAttribute) {
        return selectionAttribute(accessible, attribute);
    }
    return {ax::kAXErrorAttributeUnsupported, std::nullopt};
}

ax::Answer AtspiAccessibility::copyParameterizedAttributeValue(const ax::ElementRef& element,
                                                               const std::string& attribute,
                                                               const ax::Value& parameter) {
    bool known = attribute == ax::kAXStringForRangeParameterizedAttribute ||
                 attribute == ax::kAXAttributedStringForRangeParameterizedAttribute ||
                 attribute == ax::kAXBoundsForRangeParameterizedAttribute;
    if (!known) {
        return {ax::kAXErrorParameterizedAttributeUnsupported, std::nullopt};
    }
    // PRIMARY has text but no place.
    if (dynamic_cast<const PrimaryElement*>(element.get()) != nullptr) {
        return {ax::kAXErrorNoValue, std::nullopt};
    }
    AtspiAccessible* accessible = accessibleOf(element);
    if (accessible == nullptr || !connected_) {
        return {ax::kAXErrorInvalidUIElement, std::nullopt};
    }
    const auto* value = std::get_if<ax::AXValue>(&parameter);
    auto range = value != nullptr ? value->asRange() : std::nullopt;
    if (!range) {
        return {ax::kAXErrorIllegalArgument, std::nullopt};
    }
    return rangeAttribute(accessible, attribute, *range);
}

Pid AtspiAccessibility::getPid(const ax::ElementRef& element) {
    if (const auto* primary = dynamic_cast<const PrimaryElement*>(element.get())) {
        return primary->pid;
    }
    const auto* atspi = atspiElement(element);
    if (atspi != nullptr && !atspi->accessible) {
        return atspi->pid;  // an application known by its process only
    }
    AtspiAccessible* accessible = accessibleOf(element);
    if (accessible == nullptr || !connected_) {
        return 0;
    }
    return calls_.pid(accessible).value_or(0);
}

std::optional<ax::AXValue> AtspiAccessibility::createRangeValue(const ax::Range& range) {
    return ax::AXValue::range(range);
}

ax::ObserverResult AtspiAccessibility::createObserver(Pid /*pid*/, ax::ObserverCallback callback) {
    if (!connected()) {
        return {ax::kAXErrorAPIDisabled, nullptr};
    }
    return {ax::kAXErrorSuccess, std::make_unique<Observer>(*this, std::move(callback))};
}

}  // namespace glimwick::os
