#pragma once

#include <gio/gio.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>

#include "platform/NotificationCenter.h"
#include "platform/linux/GObjectPtr.h"

namespace glimwick::os {

// Notifications as broadcast signals on a D-Bus connection (see DBusNames.h for the mapping).
// A present object is the signal's one string argument; any other body is an absent object.
// Any process may flood us: the bodies of observed signals received but not yet delivered are
// held to kMaxPendingBytes (one larger than that still passes alone); beyond it they are
// dropped as they arrive, before they cost memory. Bodiless signals (pings) always pass. After
// a second without input, the memory that input freed goes back to the system.
class DBusNotificationCenter : public NotificationCenter {
public:
    static constexpr std::size_t kMaxPendingBytes = std::size_t{16} << 20;

    explicit DBusNotificationCenter(GObjectPtr<GDBusConnection> connection);
    ~DBusNotificationCenter() override;

    Token addObserver(const std::string& name, Block block) override;
    // Every notification of one interface ("com.corvala.app."), with the unique bus name of
    // its poster: what a main app hears. Returns once the bus has the match rule in place.
    using SenderBlock = std::function<void(const Notification&, const std::string& sender)>;
    Token addInterfaceObserver(const std::string& prefix, SenderBlock block);
    void removeObserver(Token token) override;
    void post(const std::string& name, const std::optional<std::string>& object) override;

    // Called once when the bus connection closes.
    void setClosedHandler(std::function<void()> handler) { closedHandler_ = std::move(handler); }
    // Sends everything posted so far.
    void flush();

    GDBusConnection* connection() const { return connection_.get(); }

    // The notification a received signal stands for.
    static Notification notificationFor(const std::string& name, GVariant* parameters);

    // Shared with the connection's worker thread, which filters what arrives.
    struct Inbox {
        std::mutex mutex;
        std::multiset<std::string> observed;  // "interface member", once per observer
        std::atomic<std::size_t> pending{0};
        // On the main thread: input handled lately, and the wait for a quiet second after it.
        bool busy = false;
        guint quietWait = 0;
        bool observes(const char* interface, const char* member);
        void delivered(std::size_t bytes);
    };

private:
    static void onClosed(GDBusConnection*, gboolean, GError*, gpointer self);
    static GDBusMessage* filter(GDBusConnection*, GDBusMessage* message, gboolean incoming,
                                gpointer inbox);

    GObjectPtr<GDBusConnection> connection_;
    struct Observed {
        guint id;
        std::string key;  // in the inbox
    };
    std::unordered_map<Token, Observed> subscriptions_;
    Token nextToken_ = 1;
    std::function<void()> closedHandler_;
    gulong closedHandlerId_ = 0;
    std::shared_ptr<Inbox> inbox_ = std::make_shared<Inbox>();
    guint filterId_ = 0;
};

}  // namespace glimwick::os
