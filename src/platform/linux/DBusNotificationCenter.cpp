#include "platform/linux/DBusNotificationCenter.h"

#include <malloc.h>

#include <memory>

#include "platform/linux/DBusNames.h"

namespace glimwick::os {

namespace {

constexpr guint kQuietMs = 1000;
constexpr gint kRoundTripMs = 5000;

// Owned by the GDBus subscription; freed by its destroy notify, which may come after
// unsubscribing.
struct Subscription {
    std::string name;
    NotificationCenter::Block block;
    std::shared_ptr<DBusNotificationCenter::Inbox> inbox;
};

void onSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
              GVariant* parameters, gpointer data) {
    auto* subscription = static_cast<Subscription*>(data);
    subscription->inbox->delivered(g_variant_get_size(parameters));
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
    // The filter may outlive its removal on the worker thread: it holds the inbox too.
    filterId_ = g_dbus_connection_add_filter(
        connection_.get(), &filter, std::make_unique<std::shared_ptr<Inbox>>(inbox_).release(),
        [](gpointer data) {
            std::unique_ptr<std::shared_ptr<Inbox>> owned(
                static_cast<std::shared_ptr<Inbox>*>(data));
        });
}

bool DBusNotificationCenter::Inbox::observes(const char* interface, const char* member) {
    if (interface == nullptr || member == nullptr) {
        return false;
    }
    std::lock_guard lock(mutex);
    return observed.count(std::string(interface) + " " + member) != 0;
}

void DBusNotificationCenter::Inbox::delivered(std::size_t bytes) {
    std::size_t now = pending.load();
    while (!pending.compare_exchange_weak(now, now > bytes ? now - bytes : 0)) {
    }
    busy = true;
    if (quietWait == 0) {
        quietWait = g_timeout_add(
            kQuietMs,
            [](gpointer data) -> gboolean {
                auto* inbox = static_cast<Inbox*>(data);
                if (inbox->busy) {
                    inbox->busy = false;
                    return G_SOURCE_CONTINUE;
                }
                // glibc keeps what a burst freed inside its heaps, the worker thread's too.
                malloc_trim(0);
                inbox->quietWait = 0;
                return G_SOURCE_REMOVE;
            },
            this);
    }
}

GDBusMessage* DBusNotificationCenter::filter(GDBusConnection*, GDBusMessage* message,
                                             gboolean incoming, gpointer data) {
    if (!incoming || g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_SIGNAL) {
        return message;
    }
    auto& inbox = **static_cast<std::shared_ptr<Inbox>*>(data);
    GVariant* body = g_dbus_message_get_body(message);
    std::size_t size = body != nullptr ? g_variant_get_size(body) : 0;
    if (size == 0 || !inbox.observes(g_dbus_message_get_interface(message),
                                     g_dbus_message_get_member(message))) {
        return message;
    }
    std::size_t pending = inbox.pending.load();
    if (pending > 0 && pending + size > kMaxPendingBytes) {
        GObjectPtr<GDBusMessage> dropped(message);
        return nullptr;
    }
    inbox.pending += size;
    return message;
}

DBusNotificationCenter::~DBusNotificationCenter() {
    g_dbus_connection_remove_filter(connection_.get(), filterId_);
    if (inbox_->quietWait != 0) {
        g_source_remove(inbox_->quietWait);
    }
    g_signal_handler_disconnect(connection_.get(), closedHandlerId_);
    for (auto& [token, observed] : subscriptions_) {
        g_dbus_connection_signal_unsubscribe(connection_.get(), observed.id);
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
    auto subscription =
        std::make_unique<Subscription>(Subscription{name, std::move(block), inbox_});
    std::string key = signal->interface + " " + signal->member;
    {
        std::lock_guard lock(inbox_->mutex);
        inbox_->observed.insert(key);
    }
    guint id = g_dbus_connection_signal_subscribe(
        connection_.get(), nullptr, signal->interface.c_str(), signal->member.c_str(), nullptr,
        nullptr, G_DBUS_SIGNAL_FLAGS_NONE, &onSignal, subscription.release(), &freeSubscription);
    subscriptions_.emplace(token, Observed{id, std::move(key)});
    return token;
}

NotificationCenter::Token DBusNotificationCenter::addInterfaceObserver(const std::string& prefix,
                                                                       SenderBlock block) {
    Token token = nextToken_++;
    std::string interface = prefix.substr(0, prefix.find_last_not_of('.') + 1);
    auto owned = std::make_unique<SenderBlock>(std::move(block));
    guint id = g_dbus_connection_signal_subscribe(
        connection_.get(), nullptr, interface.c_str(), nullptr, nullptr, nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const gchar* sender, const gchar*, const gchar* interface,
           const gchar* member, GVariant* parameters, gpointer data) {
            std::string name = std::string(interface) + "." + member;
            (*static_cast<SenderBlock*>(data))(notificationFor(name, parameters),
                                               sender != nullptr ? sender : "");
        },
        owned.release(),
        [](gpointer data) { std::unique_ptr<SenderBlock>(static_cast<SenderBlock*>(data)); });
    subscriptions_.emplace(token, Observed{id, {}});
    // Any reply comes after the bus has taken the match rule.
    GVariantPtr reply(g_dbus_connection_call_sync(
        connection_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "GetId", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, kRoundTripMs, nullptr, nullptr));
    return token;
}

void DBusNotificationCenter::removeObserver(Token token) {
    auto it = subscriptions_.find(token);
    if (it == subscriptions_.end()) {
        return;
    }
    g_dbus_connection_signal_unsubscribe(connection_.get(), it->second.id);
    if (!it->second.key.empty()) {
        std::lock_guard lock(inbox_->mutex);
        inbox_->observed.erase(inbox_->observed.find(it->second.key));
    }
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
    GErrorPtr ignored(error);  // Posting never reports delivery.
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
