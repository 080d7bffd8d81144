#include "platform/linux/DBusNotificationCenter.h"

#include <memory>

#include "platform/linux/DBusNames.h"

namespace glimwick::os {

namespace {

// Owned by the GDBus subscription; freed by its destroy notify, which may come after
// unsubscribing.
struct Subscription {
    std::string name;
    NotificationCenter::Block block;
};

void onSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
              GVariant* parameters, gpointer data) {
    auto* subscription = static_cast<Subscription*>(data);
    subscription->block(DBusNotificationCenter::notificationFor(subscription->name, parameters));
}

void freeSubscription(gpointer data) {
    std::unique_ptr<Subscription> owned(static_cast<Subscription*>(data));
}

}  // namespace

DBusNotificationCenter::DBusNotificationCenter(GObjectPtr<GDBusConnection> connection)
    : connection_(std::move(connection)) {
    g_dbus_connection_set_exit_on_close(connection_.get(), FALSE);
    closedHandlerId_ = g_signal_connect(connection_.get(), "closed", G_CALLBACK(&onClosed), this);
}

DBusNotificationCenter::~DBusNotificationCenter() {
    g_signal_handler_disconnect(connection_.get(), closedHandlerId_);
    for (auto& [token, id] : subscriptions_) {
        g_dbus_connection_signal_unsubscribe(connection_.get(), id);
    }
    flush();
}

Notification DBusNotificationCenter::notificationFor(const std::string& name,
                                                     GVariant* parameters) {
    Notification notification{name, std::monostate{}};
    if (parameters != nullptr && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(s)"))) {
        const gchar* text = nullptr;
        g_variant_get(parameters, "(&s)", &text);
        notification.object = std::string(text);
    }
    return notification;
}

NotificationCenter::Token DBusNotificationCenter::addObserver(const std::string& name,
                                                              Block block) {
    Token token = nextToken_++;
    auto signal = signalNameFor(name);
    if (!signal) {
        return token;  // A name the bus cannot carry is never delivered.
    }
    auto subscription = std::make_unique<Subscription>(Subscription{name, std::move(block)});
    guint id = g_dbus_connection_signal_subscribe(
        connection_.get(), nullptr, signal->interface.c_str(), signal->member.c_str(), nullptr,
        nullptr, G_DBUS_SIGNAL_FLAGS_NONE, &onSignal, subscription.release(), &freeSubscription);
    subscriptions_.emplace(token, id);
    return token;
}

void DBusNotificationCenter::removeObserver(Token token) {
    auto it = subscriptions_.find(token);
    if (it == subscriptions_.end()) {
        return;
    }
    g_dbus_connection_signal_unsubscribe(connection_.get(), it->second);
    subscriptions_.erase(it);
}

void DBusNotificationCenter::post(const std::string& name,
                                  const std::optional<std::string>& object) {
    auto signal = signalNameFor(name);
    if (!signal || (object && !g_utf8_validate(object->data(), static_cast<gssize>(object->size()),
                                               nullptr))) {
        return;
    }
    GVariant* body = object ? g_variant_new("(s)", object->c_str()) : nullptr;
    GError* error = nullptr;
    g_dbus_connection_emit_signal(connection_.get(), nullptr, kSignalObjectPath,
                                  signal->interface.c_str(), signal->member.c_str(), body, &error);
    if (error != nullptr) {
        g_error_free(error);  // Posting never reports delivery.
    }
}

void DBusNotificationCenter::flush() {
    if (!g_dbus_connection_is_closed(connection_.get())) {
        g_dbus_connection_flush_sync(connection_.get(), nullptr, nullptr);
    }
}

void DBusNotificationCenter::onClosed(GDBusConnection*, gboolean, GError*, gpointer self) {
    auto* center = static_cast<DBusNotificationCenter*>(self);
    if (auto handler = std::move(center->closedHandler_)) {
        handler();
    }
}

}  // namespace glimwick::os
