#pragma once

#include <memory>
#include <string>
#include <vector>

#include "BusFixture.h"
#include "platform/Geometry.h"

namespace glimwick::testing {

// One GTK fixture window, driven through its stdin.
class FixtureWindow {
  public:
    FixtureWindow(const std::string& title, const std::map<std::string, std::string>& env);

    pid_t pid() const { return process_.pid(); }
    unsigned long xid() const { return xid_; }
    bool ready() const { return xid_ != 0; }
    // Sends one command and waits for its answer; returns what followed "ok".
    std::string command(const std::string& line);
    Rect extents(const std::string& widget, int start, int end);

  private:
    ChildProcess process_;
    unsigned long xid_ = 0;
    size_t answers_ = 0;
};

// A private desktop for one test: Xvfb, a session bus, the accessibility bus (unless told
// otherwise), and a window manager, so that windows really get activated.
class DesktopFixture : public BusFixture {
  protected:
    void SetUp() override;
    void TearDown() override;
    std::map<std::string, std::string> busEnvironment() const override;

    // Whether the accessibility bus is started; a fixture that wants it absent says false.
    virtual bool withAccessibility() const { return true; }

    FixtureWindow& openWindow(const std::string& title);
    // Makes window the active one, as a click on it would, and waits until it is.
    void activate(const FixtureWindow& window);
    bool waitForLine(const ChildProcess& process, const std::string& line,
                     std::chrono::milliseconds timeout = std::chrono::seconds(15));
    // Every bus message of the test, for checking that something never travelled.
    std::string busTraffic() const { return monitor_ ? monitor_->stdoutText() : std::string(); }

    std::string display_;
    std::string runtimeDir_;
    std::unique_ptr<ChildProcess> xvfb_;
    std::unique_ptr<ChildProcess> launcher_;
    std::unique_ptr<ChildProcess> windowManager_;
    std::unique_ptr<ChildProcess> monitor_;
    std::vector<std::unique_ptr<FixtureWindow>> windows_;
};

}  // namespace glimwick::testing
