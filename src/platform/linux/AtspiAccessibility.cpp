#include "platform/linux/AtspiAccessibility.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <utility>

namespace glimwick::os {

namespace {

constexpr const char* kA11yBusName = "org.a11y.Bus";
constexpr const char* kA11yBusPath = "/org/a11y/bus";
constexpr const char* kA11yStatus = "org.a11y.Status";
constexpr const char* kTextSelectionChanged = "object:text-selection-changed";
constexpr const char* kFocusChanged = "object:state-changed:focused";
constexpr gint kCallTimeoutMs = 1000;
constexpr gint kBusCallTimeoutMs = 1000;
// A call that took this long ran into the time-out: its application is not answering.
constexpr gint64 kSlowCallUs = gint64{kCallTimeoutMs} * 900;
constexpr gint64 kLeaveAloneUs = gint64{5} * G_USEC_PER_SEC;

struct AtspiElement : ax::Element {
    explicit AtspiElement(GObjectPtr<AtspiAccessible> accessible)
        : accessible(std::move(accessible)) {}
    GObjectPtr<AtspiAccessible> accessible;  // null for an application that is not there
};

struct SystemWide : ax::Element {};

GObjectPtr<AtspiAccessible> retained(AtspiAccessible* accessible) {
    return GObjectPtr<AtspiAccessible>(
        accessible != nullptr ? ATSPI_ACCESSIBLE(g_object_ref(accessible)) : nullptr);
}

ax::ElementRef elementFor(GObjectPtr<AtspiAccessible> accessible) {
    return std::make_shared<AtspiElement>(std::move(accessible));
}

AtspiAccessible* accessibleOf(const ax::ElementRef& element) {
    const auto* atspi = dynamic_cast<const AtspiElement*>(element.get());
    return atspi != nullptr ? atspi->accessible.get() : nullptr;
}

const char* busNameOf(AtspiAccessible* accessible) {
    auto* object = accessible != nullptr ? ATSPI_OBJECT(accessible) : nullptr;
    return object != nullptr && object->app != nullptr ? object->app->bus_name : nullptr;
}

// What a failed call means to the caller: a vanished object or application is an invalid
// element; anything else (a time-out, a refused call) could not complete.
ax::AXError codeFor(const GErrorPtr& error) {
    if (!error) {
        return ax::kAXErrorSuccess;
    }
    std::string_view message = error->message != nullptr ? error->message : "";
    for (std::string_view gone :
         {"ServiceUnknown", "UnknownObject", "NameHasNoOwner", "Disconnected"}) {
        if (message.find(gone) != std::string_view::npos) {
            return ax::kAXErrorInvalidUIElement;
        }
    }
    return ax::kAXErrorCannotComplete;
}

// AT-SPI roles under the names the selection logic knows; what is not listed is unknown.
constexpr std::array<std::pair<AtspiRole, const char*>, 36> kRoleNames = {{
    {ATSPI_ROLE_ENTRY, "AXTextField"},
    {ATSPI_ROLE_PASSWORD_TEXT, "AXTextField"},
    {ATSPI_ROLE_COMBO_BOX, "AXComboBox"},
    {ATSPI_ROLE_TOOL_BAR, "AXToolbar"},
    {ATSPI_ROLE_PANEL, "AXGroup"},
    {ATSPI_ROLE_GROUPING, "AXGroup"},
    {ATSPI_ROLE_FILLER, "AXGroup"},
    {ATSPI_ROLE_SECTION, "AXGroup"},
    {ATSPI_ROLE_FORM, "AXGroup"},
    {ATSPI_ROLE_PARAGRAPH, "AXGroup"},
    {ATSPI_ROLE_TERMINAL, "AXTextArea"},
    {ATSPI_ROLE_DOCUMENT_TEXT, "AXTextArea"},
    {ATSPI_ROLE_DOCUMENT_FRAME, "AXWebArea"},
    {ATSPI_ROLE_DOCUMENT_WEB, "AXWebArea"},
    {ATSPI_ROLE_SCROLL_PANE, "AXScrollArea"},
    {ATSPI_ROLE_FRAME, "AXWindow"},
    {ATSPI_ROLE_WINDOW, "AXWindow"},
    {ATSPI_ROLE_DIALOG, "AXWindow"},
    {ATSPI_ROLE_APPLICATION, "AXApplication"},
    {ATSPI_ROLE_PUSH_BUTTON, "AXButton"},
    {ATSPI_ROLE_TOGGLE_BUTTON, "AXCheckBox"},
    {ATSPI_ROLE_CHECK_BOX, "AXCheckBox"},
    {ATSPI_ROLE_RADIO_BUTTON, "AXRadioButton"},
    {ATSPI_ROLE_LABEL, "AXStaticText"},
    {ATSPI_ROLE_STATIC, "AXStaticText"},
    {ATSPI_ROLE_LINK, "AXLink"},
    {ATSPI_ROLE_IMAGE, "AXImage"},
    {ATSPI_ROLE_MENU_BAR, "AXMenuBar"},
    {ATSPI_ROLE_MENU, "AXMenu"},
    {ATSPI_ROLE_MENU_ITEM, "AXMenuItem"},
    {ATSPI_ROLE_LIST, "AXList"},
    {ATSPI_ROLE_TABLE, "AXTable"},
    {ATSPI_ROLE_TABLE_CELL, "AXCell"},
    {ATSPI_ROLE_PAGE_TAB_LIST, "AXTabGroup"},
    {ATSPI_ROLE_SLIDER, "AXSlider"},
    {ATSPI_ROLE_SPIN_BUTTON, "AXIncrementor"},
}};

std::optional<ax::Range> rangeIn(const ax::Value& parameter) {
    const auto* value = std::get_if<ax::AXValue>(&parameter);
    return value != nullptr ? value->asRange() : std::nullopt;
}

// Offsets as AT-SPI takes them (32-bit).
bool toOffsets(const ax::Range& range, gint& start, gint& end) {
    if (range.location < 0 || range.length < 0 || range.location > G_MAXINT ||
        range.length > G_MAXINT - range.location) {
        return false;
    }
    start = static_cast<gint>(range.location);
    end = static_cast<gint>(range.location + range.length);
    return true;
}

// An array of accessibles that AT-SPI hands over, freed with what it holds.
struct AccessibleArray {
    explicit AccessibleArray(GArray* array) : array(array) {}
    ~AccessibleArray() {
        if (array != nullptr) {
            for (guint i = 0; i < array->len; ++i) {
                g_object_unref(g_array_index(array, AtspiAccessible*, i));
            }
            g_array_free(array, TRUE);
        }
    }
    AccessibleArray(const AccessibleArray&) = delete;
    AccessibleArray& operator=(const AccessibleArray&) = delete;
    GArray* array;
};

}  // namespace

// One process's text-selection events, delivered while the source is installed. Cut loose by
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
        AtspiAccessible* app = accessibleOf(application);
        if (name != ax::kAXSelectedTextChangedNotification || app == nullptr || owner_ == nullptr ||
            !owner_->connected_) {
            return ax::kAXErrorNotificationUnsupported;
        }
        if (listener_) {
            return ax::kAXErrorNotificationAlreadyRegistered;
        }
        GObjectPtr<AtspiEventListener> listener(
            atspi_event_listener_new(&Observer::onEvent, this, nullptr));
        GError* raw = nullptr;
        gboolean registered = atspi_event_listener_register_with_app(
            listener.get(), kTextSelectionChanged, nullptr, app, &raw);
        GErrorPtr error(raw);
        if (!registered) {
            return ax::kAXErrorNotificationUnsupported;
        }
        listener_ = std::move(listener);
        application_ = retained(app);
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

    // The owner is going first.
    void orphan() {
        detach();
        owner_ = nullptr;
    }

    void detach() {
        if (listener_) {
            atspi_event_listener_deregister(listener_.get(), kTextSelectionChanged, nullptr);
            listener_.reset();
        }
        application_.reset();
    }

private:
    // Runs inside AT-SPI's dispatch, possibly nested in another AT-SPI call: it only hands the
    // event on, and makes no AT-SPI call itself.
    static void onEvent(AtspiEvent* event, void* self) {
        auto* observer = static_cast<Observer*>(self);
        const char* source = busNameOf(event->source);
        const char* target = busNameOf(observer->application_.get());
        if (observer->installed_ && source != nullptr && target != nullptr &&
            std::strcmp(source, target) == 0) {
            ax::ElementRef element = elementFor(retained(event->source));
            ax::Context context = observer->context_;
            observer->callback_(*observer, element, ax::kAXSelectedTextChangedNotification,
                                context);
        }
        g_boxed_free(ATSPI_TYPE_EVENT, event);
    }

    AtspiAccessibility* owner_;
    ax::ObserverCallback callback_;
    GObjectPtr<AtspiEventListener> listener_;
    GObjectPtr<AtspiAccessible> application_;
    ax::Context context_;
    bool installed_ = false;
};

AtspiAccessibility::AtspiAccessibility(GDBusConnection* sessionBus) : sessionBus_(sessionBus) {
    busWatch_ = g_bus_watch_name_on_connection(
        sessionBus_, kA11yBusName, G_BUS_NAME_WATCHER_FLAGS_NONE, nullptr,
        [](GDBusConnection*, const gchar*, gpointer self) {
            static_cast<AtspiAccessibility*>(self)->disconnect();
        },
        this, nullptr);
}

AtspiAccessibility::~AtspiAccessibility() {
    g_bus_unwatch_name(busWatch_);
    for (Observer* observer : observers_) {
        observer->orphan();
    }
    if (focusListener_) {
        atspi_event_listener_deregister(focusListener_.get(), kFocusChanged, nullptr);
    }
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
    atspi_set_timeout(kCallTimeoutMs, kCallTimeoutMs);
    connected_ = true;
    focusListener_.reset(
        atspi_event_listener_new(&AtspiAccessibility::onFocusEvent, this, nullptr));
    atspi_event_listener_register(focusListener_.get(), kFocusChanged, nullptr);
    return true;
}

void AtspiAccessibility::disconnect() {
    if (!connected_) {
        return;
    }
    // Everything that points into the old connection goes before it does.
    for (Observer* observer : observers_) {
        observer->detach();
    }
    if (focusListener_) {
        atspi_event_listener_deregister(focusListener_.get(), kFocusChanged, nullptr);
        focusListener_.reset();
    }
    lastFocused_.reset();
    unresponsiveUntil_.clear();
    // libatspi cannot connect a second time in one process (it is not re-initialisable), so
    // access stays disabled, as it really is for this process, until the helper is restarted.
    connected_ = false;
    lost_ = true;
}

template <typename Result, typename Body>
Result AtspiAccessibility::ask(AtspiAccessible* target, ax::AXError& code, Body&& body) {
    const char* bus = busNameOf(target);
    gint64 now = g_get_monotonic_time();
    if (bus != nullptr) {
        auto found = unresponsiveUntil_.find(bus);
        if (found != unresponsiveUntil_.end()) {
            if (now < found->second) {
                code = ax::kAXErrorCannotComplete;
                return Result{};
            }
            unresponsiveUntil_.erase(found);
        }
    }
    GError* raw = nullptr;
    Result result = body(&raw);
    GErrorPtr error(raw);
    code = codeFor(error);
    gint64 elapsed = g_get_monotonic_time() - now;
    if (bus != nullptr && elapsed >= kSlowCallUs) {
        unresponsiveUntil_[bus] = g_get_monotonic_time() + kLeaveAloneUs;
        if (code == ax::kAXErrorSuccess) {
            code = ax::kAXErrorCannotComplete;
        }
    }
    return result;
}

bool AtspiAccessibility::hasState(AtspiAccessible* accessible, AtspiStateType state) {
    ax::AXError code = 0;
    // The state set comes from AT-SPI's cache when it can; otherwise it is a call like others.
    GObjectPtr<AtspiStateSet> states(ask<AtspiStateSet*>(
        accessible, code, [&](GError**) { return atspi_accessible_get_state_set(accessible); }));
    return states && atspi_state_set_contains(states.get(), state);
}

bool AtspiAccessibility::isPassword(AtspiAccessible* accessible) {
    ax::AXError code = 0;
    AtspiRole role = ask<AtspiRole>(
        accessible, code, [&](GError** e) { return atspi_accessible_get_role(accessible, e); });
    // When the role cannot be read, treat the field as secret.
    return code != 0 || role == ATSPI_ROLE_PASSWORD_TEXT;
}

std::string AtspiAccessibility::roleName(AtspiAccessible* accessible, AtspiRole role) {
    if (role == ATSPI_ROLE_TEXT) {
        // Both single- and multi-line text report this role; the states tell them apart.
        return hasState(accessible, ATSPI_STATE_MULTI_LINE) ? "AXTextArea" : "AXTextField";
    }
    for (const auto& [atspiRole, name] : kRoleNames) {
        if (atspiRole == role) {
            return name;
        }
    }
    return "AXUnknown";
}

ax::Answer AtspiAccessibility::textOf(AtspiAccessible* accessible, AtspiText* text, gint start,
                                      gint end, bool attributed) {
    ax::AXError code = 0;
    GCharPtr chars(ask<gchar*>(
        accessible, code, [&](GError** e) { return atspi_text_get_text(text, start, end, e); }));
    if (code != 0 || !chars) {
        return {code != 0 ? code : ax::kAXErrorNoValue, std::nullopt};
    }
    std::string plain(chars.get());
    if (attributed) {
        return {0, ax::AttributedString{std::move(plain)}};
    }
    return {0, std::move(plain)};
}

void AtspiAccessibility::onFocusEvent(AtspiEvent* event, void* self) {
    auto* accessibility = static_cast<AtspiAccessibility*>(self);
    if (event->source != nullptr) {
        if (event->detail1 != 0) {
            accessibility->lastFocused_ = retained(event->source);
        } else if (accessibility->lastFocused_.get() == event->source) {
            accessibility->lastFocused_.reset();
        }
    }
    g_boxed_free(ATSPI_TYPE_EVENT, event);
}

bool AtspiAccessibility::isProcessTrusted(bool prompt) {
    if (prompt) {
        // Asks the desktop to turn accessibility on, starting its bus if need be.
        GVariant* set = g_dbus_connection_call_sync(
            sessionBus_, kA11yBusName, kA11yBusPath, "org.freedesktop.DBus.Properties", "Set",
            g_variant_new("(ssv)", kA11yStatus, "IsEnabled", g_variant_new_boolean(TRUE)), nullptr,
            G_DBUS_CALL_FLAGS_NONE, kBusCallTimeoutMs, nullptr, nullptr);
        if (set != nullptr) {
            g_variant_unref(set);
        }
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

ax::ElementRef AtspiAccessibility::createApplication(Pid pid) {
    if (!connected() || pid <= 0) {
        return elementFor(nullptr);
    }
    GObjectPtr<AtspiAccessible> desktop(atspi_get_desktop(0));
    ax::AXError code = 0;
    gint count = ask<gint>(desktop.get(), code, [&](GError** e) {
        return atspi_accessible_get_child_count(desktop.get(), e);
    });
    for (gint i = 0; i < count; ++i) {
        GObjectPtr<AtspiAccessible> app(ask<AtspiAccessible*>(desktop.get(), code, [&](GError** e) {
            return atspi_accessible_get_child_at_index(desktop.get(), i, e);
        }));
        if (!app) {
            continue;
        }
        guint appPid = ask<guint>(app.get(), code, [&](GError** e) {
            return atspi_accessible_get_process_id(app.get(), e);
        });
        if (code == 0 && static_cast<Pid>(appPid) == pid) {
            return elementFor(std::move(app));
        }
    }
    return elementFor(nullptr);
}

GObjectPtr<AtspiAccessible> AtspiAccessibility::focusedIn(AtspiAccessible* window) {
    GObjectPtr<AtspiCollection> collection(atspi_accessible_get_collection_iface(window));
    if (!collection) {
        return nullptr;
    }
    GObjectPtr<AtspiStateSet> focused(atspi_state_set_new(nullptr));
    atspi_state_set_add(focused.get(), ATSPI_STATE_FOCUSED);
    GObjectPtr<AtspiMatchRule> rule(atspi_match_rule_new(
        focused.get(), ATSPI_Collection_MATCH_ALL, nullptr, ATSPI_Collection_MATCH_NONE, nullptr,
        ATSPI_Collection_MATCH_NONE, nullptr, ATSPI_Collection_MATCH_NONE, FALSE));
    ax::AXError code = 0;
    AccessibleArray matches(ask<GArray*>(window, code, [&](GError** e) {
        return atspi_collection_get_matches(collection.get(), rule.get(),
                                            ATSPI_Collection_SORT_ORDER_CANONICAL, 1, TRUE, e);
    }));
    if (matches.array == nullptr || matches.array->len == 0) {
        return nullptr;
    }
    return retained(g_array_index(matches.array, AtspiAccessible*, 0));
}

GObjectPtr<AtspiAccessible> AtspiAccessibility::focusedAccessible() {
    if (lastFocused_ && hasState(lastFocused_.get(), ATSPI_STATE_FOCUSED)) {
        return retained(lastFocused_.get());
    }
    lastFocused_.reset();
    // No focus event seen yet (or a stale one): look in the active window of each application.
    GObjectPtr<AtspiAccessible> desktop(atspi_get_desktop(0));
    ax::AXError code = 0;
    gint apps = ask<gint>(desktop.get(), code, [&](GError** e) {
        return atspi_accessible_get_child_count(desktop.get(), e);
    });
    for (gint i = 0; i < apps; ++i) {
        GObjectPtr<AtspiAccessible> app(ask<AtspiAccessible*>(desktop.get(), code, [&](GError** e) {
            return atspi_accessible_get_child_at_index(desktop.get(), i, e);
        }));
        gint windows = app ? ask<gint>(app.get(), code,
                                       [&](GError** e) {
                                           return atspi_accessible_get_child_count(app.get(), e);
                                       })
                           : 0;
        for (gint j = 0; j < windows; ++j) {
            GObjectPtr<AtspiAccessible> window(ask<AtspiAccessible*>(
                app.get(), code,
                [&](GError** e) { return atspi_accessible_get_child_at_index(app.get(), j, e); }));
            if (!window || !hasState(window.get(), ATSPI_STATE_ACTIVE)) {
                continue;
            }
            if (auto found = focusedIn(window.get())) {
                lastFocused_ = retained(found.get());
                return found;
            }
        }
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
    GObjectPtr<AtspiAccessible> focused = focusedAccessible();
    if (!focused) {
        return {ax::kAXErrorNoValue, std::nullopt};
    }
    if (attribute == ax::kAXFocusedUIElementAttribute) {
        return {0, elementFor(std::move(focused))};
    }
    ax::AXError code = 0;
    GObjectPtr<AtspiAccessible> app(ask<AtspiAccessible*>(focused.get(), code, [&](GError** e) {
        return atspi_accessible_get_application(focused.get(), e);
    }));
    if (!app) {
        return {code != 0 ? code : ax::kAXErrorNoValue, std::nullopt};
    }
    return {0, elementFor(std::move(app))};
}

ax::Answer AtspiAccessibility::selectionAttribute(AtspiAccessible* accessible,
                                                  const std::string& attribute) {
    GObjectPtr<AtspiText> text(atspi_accessible_get_text_iface(accessible));
    if (!text || isPassword(accessible)) {
        return {ax::kAXErrorAttributeUnsupported, std::nullopt};
    }
    ax::AXError code = 0;
    gint selections = ask<gint>(
        accessible, code, [&](GError** e) { return atspi_text_get_n_selections(text.get(), e); });
    if (code != 0) {
        return {code, std::nullopt};
    }
    gint start = 0;
    gint end = 0;
    if (selections > 0) {
        std::unique_ptr<AtspiRange, GFree> range(ask<AtspiRange*>(
            accessible, code,
            [&](GError** e) { return atspi_text_get_selection(text.get(), 0, e); }));
        if (!range) {
            return {code != 0 ? code : ax::kAXErrorNoValue, std::nullopt};
        }
        start = std::min(range->start_offset, range->end_offset);
        end = std::max(range->start_offset, range->end_offset);
    } else if (attribute == ax::kAXSelectedTextRangeAttribute) {
        start = end = ask<gint>(accessible, code, [&](GError** e) {
            return atspi_text_get_caret_offset(text.get(), e);
        });
        if (code != 0) {
            return {code, std::nullopt};
        }
    }
    if (attribute == ax::kAXSelectedTextRangeAttribute) {
        return {0, ax::AXValue::range({std::max(start, 0), end - start})};
    }
    if (start == end) {
        return {0, std::string()};
    }
    return textOf(accessible, text.get(), start, end, false);
}

ax::Answer AtspiAccessibility::copyAttributeValue(const ax::ElementRef& element,
                                                  const std::string& attribute) {
    if (dynamic_cast<const SystemWide*>(element.get()) != nullptr) {
        return systemWideAttribute(attribute);
    }
    AtspiAccessible* accessible = accessibleOf(element);
    if (accessible == nullptr || !connected_) {
        return {ax::kAXErrorInvalidUIElement, std::nullopt};
    }
    ax::AXError code = 0;
    if (attribute == ax::kAXRoleAttribute) {
        AtspiRole role = ask<AtspiRole>(
            accessible, code, [&](GError** e) { return atspi_accessible_get_role(accessible, e); });
        return code != 0 ? ax::Answer{code, std::nullopt}
                         : ax::Answer{0, roleName(accessible, role)};
    }
    if (attribute == ax::kAXParentAttribute) {
        GObjectPtr<AtspiAccessible> parent(ask<AtspiAccessible*>(accessible, code, [&](GError** e) {
            return atspi_accessible_get_parent(accessible, e);
        }));
        if (!parent) {
            return {code != 0 ? code : ax::kAXErrorNoValue, std::nullopt};
        }
        return {0, elementFor(std::move(parent))};
    }
    if (attribute == ax::kAXTitleAttribute) {
        GCharPtr name(ask<gchar*>(accessible, code, [&](GError** e) {
            return atspi_accessible_get_name(accessible, e);
        }));
        if (!name) {
            return {code != 0 ? code : ax::kAXErrorNoValue, std::nullopt};
        }
        return {0, std::string(name.get())};
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
    AtspiAccessible* accessible = accessibleOf(element);
    if (accessible == nullptr || !connected_) {
        return {ax::kAXErrorInvalidUIElement, std::nullopt};
    }
    GObjectPtr<AtspiText> text(atspi_accessible_get_text_iface(accessible));
    if (!text || isPassword(accessible)) {
        return {ax::kAXErrorParameterizedAttributeUnsupported, std::nullopt};
    }
    auto range = rangeIn(parameter);
    gint start = 0;
    gint end = 0;
    if (!range || !toOffsets(*range, start, end)) {
        return {ax::kAXErrorIllegalArgument, std::nullopt};
    }
    if (attribute != ax::kAXBoundsForRangeParameterizedAttribute) {
        return textOf(accessible, text.get(), start, end,
                      attribute == ax::kAXAttributedStringForRangeParameterizedAttribute);
    }
    ax::AXError code = 0;
    std::unique_ptr<AtspiRect, GFree> extents(ask<AtspiRect*>(accessible, code, [&](GError** e) {
        return atspi_text_get_range_extents(text.get(), start, end, ATSPI_COORD_TYPE_SCREEN, e);
    }));
    if (!extents) {
        return {code != 0 ? code : ax::kAXErrorNoValue, std::nullopt};
    }
    return {0, ax::AXValue::rect(Rect{
                   static_cast<double>(extents->x), static_cast<double>(extents->y),
                   static_cast<double>(extents->width), static_cast<double>(extents->height)})};
}

Pid AtspiAccessibility::getPid(const ax::ElementRef& element) {
    AtspiAccessible* accessible = accessibleOf(element);
    if (accessible == nullptr || !connected_) {
        return 0;
    }
    ax::AXError code = 0;
    guint pid = ask<guint>(accessible, code, [&](GError** e) {
        return atspi_accessible_get_process_id(accessible, e);
    });
    return code == 0 ? static_cast<Pid>(pid) : 0;
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
