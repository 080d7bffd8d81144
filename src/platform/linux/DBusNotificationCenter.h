#pragma once

#include <gio/gio.h>

#include <functional>
#include <string>
#include <unordered_map>

#include "platform/NotificationCenter.h"
#include "platform/linux/GObjectPtr.h"

namespace glimwick::os {

// Notifications as broadcast signals on a D-Bus connection (see DBusNames.h for the mapping).
// A present object is the signal's one string argument; any other body is an absent object.
class DBusNotificationCenter : public NotificationCenter {
public:
    explicit DBusNotificationCenter(GObjectPtr<GDBusConnection> connection);
    ~DBusNotificationCenter() override;

    Token addObserver(const std::string& name, Block block) override;
    void removeObserver(Token token) override;
    void post(const std::string& name, const std::optional<std::string>& object) override;

    // Called once when the bus connection closes.
    void setClosedHandler(std::function<void()> handler) { closedHandler_ = std::move(handler); }
    // Sends everything posted so far.
    void flush();

    GDBusConnection* connection() const { return connection_.get(); }

    // The notification a received signal stands for.
    static Notification notificationFor(const std::string& name, GVariant* parameters);

private:
    static void onClosed(GDBusConnection*, gboolean, GError*, gpointer self);

    GObjectPtr<GDBusConnection> connection_;
    std::unordered_map<Token, guint> subscriptions_;
    Token nextToken_ = 1;
    std::function<void()> closedHandler_;
    gulong closedHandlerId_ = 0;
};

}  // namespace glimwick::os
