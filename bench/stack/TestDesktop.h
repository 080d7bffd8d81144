#pragma once

#include <gio/gio.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Processes.h"
#include "platform/Geometry.h"
#include "platform/linux/DBusNotificationCenter.h"
#include "platform/linux/GObjectPtr.h"

namespace glimwick::testing {

// A private session, started and stopped by its owner: a session bus, and when asked an X
// server, the accessibility bus and a window manager.
class TestDesktop {
public:
    struct Options {
        bool display = false;
        bool accessibility = false;
        bool windowManager = false;
        bool monitor = false;  // record every bus message
    };

    TestDesktop() = default;
    ~TestDesktop() { stop(); }
    TestDesktop(const TestDesktop&) = delete;
    TestDesktop& operator=(const TestDesktop&) = delete;

    // Empty on success, else what failed.
    std::string start(const Options& options);
    void stop();

    const std::string& busAddress() const { return address_; }
    // The environment for a process of this session.
    std::map<std::string, std::string> environment() const;
    std::string busTraffic() const { return monitor_ ? monitor_->stdoutText() : std::string(); }
    ChildProcess* busDaemon() { return daemon_.get(); }
    // The accessibility bus launcher, which leads the process group of the bus and registry.
    ChildProcess* accessibilityBus() { return launcher_.get(); }
    // Starts the accessibility bus (again); empty on success.
    std::string startAccessibility();

private:
    std::string display_;
    std::string address_;
    std::string runtimeDir_;
    std::unique_ptr<ChildProcess> xvfb_;
    std::unique_ptr<ChildProcess> daemon_;
    std::unique_ptr<ChildProcess> launcher_;
    std::unique_ptr<ChildProcess> windowManager_;
    std::unique_ptr<ChildProcess> monitor_;
};

struct Event {
    std::string name;
    nlohmann::json payload;  // the parsed object text, or null
    std::chrono::steady_clock::time_point received;
    std::string sender;  // the unique bus name of the poster
};

// A client on a session bus that plays the main app: it posts commands and keeps every
// "com.corvala.app." event it receives.
class BusClient {
public:
    // Empty on success.
    std::string connect(const std::string& address);
    ~BusClient();

    // Takes a floating body or nullptr. Without flush the signal may wait for the next flush.
    void emit(const std::string& name, GVariant* body, bool flush = true);
    void flush();
    void post(const std::string& name, const std::optional<std::string>& object) {
        emit(name, object ? g_variant_new("(s)", object->c_str()) : nullptr);
    }
    // Whether the bus has an owner for name.
    bool hasOwner(const std::string& name);

    std::vector<Event> events;
    std::vector<Event> eventsNamed(const std::string& name) const;
    size_t countOf(const std::string& name) const;
    std::vector<std::string> diagnosticsOf(pid_t pid) const;
    bool waitForEvent(const std::string& name, size_t count,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool waitForDiagnostic(const std::string& context,
                           std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Posts a ping and waits for the pongs of every ping posted so far: everything posted before
    // it has been handled (with one helper on the bus).
    bool roundTrip();

    GDBusConnection* connection() const { return connection_.get(); }

private:
    os::GObjectPtr<GDBusConnection> connection_;
    std::optional<os::DBusNotificationCenter> center_;  // what the helper posts
    size_t pingsSent_ = 0;
};

// One GTK fixture window, driven through its stdin.
class FixtureWindow {
public:
    FixtureWindow(const std::vector<std::string>& argv,
                  const std::map<std::string, std::string>& env);

    pid_t pid() const { return process_.pid(); }
    unsigned long xid() const { return xid_; }
    bool ready() const { return xid_ != 0; }
    std::string startFailure() { return process_.startError() + process_.stderrText(); }
    // Sends one command and waits for its answer: what followed "ok", or nullopt.
    std::optional<std::string> command(const std::string& line);
    Rect extents(const std::string& widget, int start, int end);
    // Makes the window the active one, as a click would, and waits until it is.
    bool activate(const std::map<std::string, std::string>& env);

private:
    ChildProcess process_;
    unsigned long xid_ = 0;
    size_t answers_ = 0;
};

}  // namespace glimwick::testing
