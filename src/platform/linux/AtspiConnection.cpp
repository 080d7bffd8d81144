#include "platform/linux/AtspiAccessibility.h"

#include <cstring>
#include <utility>

#include "platform/linux/AtspiElements.h"
#include "platform/linux/AtspiObserver.h"

// The connection to the accessibility bus: made once the session bus shows one, let go of
// when it goes, and what is kept of an application forgotten when it leaves.

namespace glimwick::os {

namespace {

constexpr const char* kA11yBusName = "org.a11y.Bus";
constexpr const char* kA11yBusPath = "/org/a11y/bus";
constexpr const char* kA11yStatus = "org.a11y.Status";
constexpr const char* kFocusChanged = "object:state-changed:focused";
// GTK 3 sends both, GTK 4 only the state change.
constexpr const char* kWindowEvents[] = {"window:activate", "window:deactivate",
                                         "object:state-changed:active"};
// A call to the accessibility bus's launcher holds the loop up no longer than a turn's calls.
constexpr auto kBusCallTimeoutMs = static_cast<gint>(AtspiCalls::kTurnBudgetUs / 1000);
// After a bus that did not say where it is, the next try.
constexpr gint64 kConnectRetryUs = gint64{5} * G_USEC_PER_SEC;
constexpr const char* kDepartureRule =
    "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
    "member='NameOwnerChanged',arg2=''";

}  // namespace

AtspiAccessibility::AtspiAccessibility(GDBusConnection* sessionBus, WindowOrigin windowOrigin,
                                       PrimarySelection* primary)
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
    for (guint watch : {resumeWatch_, departureWatch_}) {
        if (watch != 0) {
            g_source_remove(watch);
        }
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
    gint64 now = g_get_monotonic_time();
    if (lost_ || now < nextConnect_) {
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
    // libatspi asks the bus's owner for its address with libdbus's default time-out (25 s)
    // unless it is given one: it is asked here, within ours, and handed over.
    auto address = busAddress();
    if (!address) {
        nextConnect_ = now + kConnectRetryUs;
        return false;
    }
    g_setenv("AT_SPI_BUS_ADDRESS", address->c_str(), TRUE);
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
    watchDepartures(true);
    batch_ = TextBatch::open(address->c_str(), now + gint64{kBusCallTimeoutMs} * 1000);
    reader_.setBatch(batch_.get());
    return true;
}

std::optional<std::string> AtspiAccessibility::busAddress() {
    if (const char* given = g_getenv("AT_SPI_BUS_ADDRESS"); given != nullptr && *given != 0) {
        return given;
    }
    GVariant* reply = g_dbus_connection_call_sync(
        sessionBus_, kA11yBusName, kA11yBusPath, kA11yBusName, "GetAddress", nullptr,
        G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, kBusCallTimeoutMs, nullptr,
        nullptr);
    if (reply == nullptr) {
        return std::nullopt;
    }
    GVariantPtr owned(reply);
    const gchar* address = nullptr;
    g_variant_get(reply, "(&s)", &address);
    return *address != 0 ? std::optional<std::string>(address) : std::nullopt;
}

// Every application that leaves the accessibility bus is forgotten: the helper outlives
// thousands of them. Heard on libatspi's own connection, inside its dispatch: the names are
// only noted there, and let go of on the main loop.
void AtspiAccessibility::watchDepartures(bool watch) {
    DBusConnection* bus = atspi_get_a11y_bus();
    if (bus == nullptr) {
        return;
    }
    if (watch) {
        dbus_connection_add_filter(bus, &AtspiAccessibility::onBusMessage, this, nullptr);
        dbus_bus_add_match(bus, kDepartureRule, nullptr);
    } else {
        dbus_bus_remove_match(bus, kDepartureRule, nullptr);
        dbus_connection_remove_filter(bus, &AtspiAccessibility::onBusMessage, this);
    }
}

DBusHandlerResult AtspiAccessibility::onBusMessage(DBusConnection*, DBusMessage* message,
                                                   void* self) {
    const char* name = nullptr;
    const char* before = nullptr;
    const char* after = nullptr;
    if (dbus_message_is_signal(message, DBUS_INTERFACE_DBUS, "NameOwnerChanged") &&
        dbus_message_get_args(message, nullptr, DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING, &before,
                              DBUS_TYPE_STRING, &after, DBUS_TYPE_INVALID) &&
        name[0] == ':' && after[0] == 0) {
        auto* accessibility = static_cast<AtspiAccessibility*>(self);
        accessibility->departed_.emplace_back(name);
        if (accessibility->departureWatch_ == 0) {
            accessibility->departureWatch_ = g_idle_add(
                [](gpointer data) -> gboolean {
                    auto* owner = static_cast<AtspiAccessibility*>(data);
                    owner->departureWatch_ = 0;
                    owner->forgetDeparted();
                    return G_SOURCE_REMOVE;
                },
                accessibility);
        }
    }
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
}

void AtspiAccessibility::forgetDeparted() {
    for (const std::string& bus : std::exchange(departed_, {})) {
        heard_.erase(bus);
        unannounced_.erase(bus);
        noticed_.erase(bus);
        calls_.forgetApplication(bus);
        if (batch_) {
            batch_->forgetApplication(bus);
        }
        for (Observer* observer : observers_) {
            observer->forget(bus);
        }
    }
}

void AtspiAccessibility::disconnect() {
    if (!connected_) {
        return;
    }
    // Everything that points into the old connection goes before it does.
    for (Observer* observer : observers_) {
        observer->detach();
    }
    watchDepartures(false);
    departed_.clear();
    heard_.clear();
    noticed_.clear();
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

}  // namespace glimwick::os
