#pragma once

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/linux/GObjectPtr.h"

namespace glimwick::testing {

// Iterates the default main context until done() holds or the deadline passes.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

// A process started by a test, with its output in files; killed by pid when dropped.
class ChildProcess {
  public:
    // With withInput the child reads its stdin from writeLine; otherwise it inherits ours.
    ChildProcess(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& env, bool withInput = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool started() const { return pid_ > 0; }
    std::string stdoutText() const;
    std::string stderrText() const;
    std::vector<std::string> stdoutLines() const;
    // Nullopt while running; the exit status once it has ended normally (-1 if by a signal).
    std::optional<int> exitStatus();
    bool waitForExit(std::chrono::milliseconds timeout);
    void kill(int signal);
    void writeLine(const std::string& line);

  private:
    pid_t pid_ = -1;
    int input_ = -1;
    std::optional<int> status_;
    std::string stdoutPath_;
    std::string stderrPath_;
};

struct Event {
    std::string name;
    nlohmann::json payload;  // the parsed object text, or null
    std::string sender;
};

// A private session bus for one test, and a client on it that plays the main app.
class BusFixture : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the helper on this bus.
    ChildProcess& startHelper();
    // Waits for the helper's start diagnostic, after which its commands are registered.
    void waitForHelperReady(const ChildProcess& helper);

    void emit(const std::string& name, GVariant* body);  // takes a floating body or nullptr
    void post(const std::string& name, const std::optional<std::string>& object) {
        emit(name, object ? g_variant_new("(s)", object->c_str()) : nullptr);
    }

    std::vector<Event> eventsNamed(const std::string& name) const;
    std::vector<std::string> diagnosticsOf(pid_t pid) const;
    bool waitForEvent(const std::string& name, size_t count = 1,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool waitForDiagnostic(const std::string& context,
                           std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Sends a ping and waits for one more pong: proof that all before it was handled.
    bool roundTrip();

    virtual std::map<std::string, std::string> busEnvironment() const;

    std::string address_;
    std::unique_ptr<ChildProcess> daemon_;
    os::GObjectPtr<GDBusConnection> connection_;
    guint subscription_ = 0;
    std::vector<Event> events_;
    std::vector<std::unique_ptr<ChildProcess>> helpers_;
};

}  // namespace glimwick::testing
