#include "DesktopFixture.h"

#include <signal.h>

#include <filesystem>
#include <sstream>

namespace glimwick::testing {

using namespace std::chrono_literals;

FixtureWindow::FixtureWindow(const std::string& title,
                             const std::map<std::string, std::string>& env)
    : process_({GLIMWICK_FIXTURE_PATH, title}, env, /*withInput=*/true) {
    waitUntil(
        [&] {
            std::string out = process_.stdoutText();
            auto at = out.find("ready ");
            if (at == std::string::npos || out.find('\n', at) == std::string::npos) {
                return process_.exitStatus().has_value();
            }
            xid_ = std::stoul(out.substr(at + 6));
            return true;
        },
        30s);
    EXPECT_TRUE(ready()) << "fixture did not start: " << process_.stderrText();
}

std::string FixtureWindow::command(const std::string& line) {
    process_.writeLine(line);
    ++answers_;
    std::string answer;
    bool answered = waitUntil(
        [&] {
            auto lines = process_.stdoutLines();
            if (lines.size() < answers_ + 1) {  // the first line is "ready"
                return false;
            }
            answer = lines[answers_];
            return true;
        },
        15s);
    EXPECT_TRUE(answered) << "no answer to " << line;
    EXPECT_EQ(answer.rfind("ok", 0), 0u) << line << ": " << answer;
    return answer.size() > 3 ? answer.substr(3) : std::string();
}

Rect FixtureWindow::extents(const std::string& widget, int start, int end) {
    std::istringstream in(
        command("extents " + widget + " " + std::to_string(start) + " " + std::to_string(end)));
    Rect rect;
    in >> rect.x >> rect.y >> rect.width >> rect.height;
    return rect;
}

void DesktopFixture::SetUp() {
    // The accessibility bus puts its socket here; a test's own keeps it from any other.
    GError* error = nullptr;
    gchar* dir = g_dir_make_tmp("glimwick-run-XXXXXX", &error);
    ASSERT_NE(dir, nullptr) << error->message;
    runtimeDir_ = dir;
    g_free(dir);

    xvfb_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"Xvfb", "-displayfd", "1", "-screen", "0", "1280x1024x24",
                                 "-nolisten", "tcp", "-noreset"},
        std::map<std::string, std::string>{});
    ASSERT_TRUE(waitUntil([&] { return xvfb_->stdoutText().find('\n') != std::string::npos; }, 30s))
        << "Xvfb did not start: " << xvfb_->stderrText();
    display_ = ":" + xvfb_->stdoutText().substr(0, xvfb_->stdoutText().find('\n'));

    BusFixture::SetUp();
    if (HasFatalFailure()) {
        return;
    }
    monitor_ = std::make_unique<ChildProcess>(std::vector<std::string>{"dbus-monitor", "--session"},
                                              busEnvironment());

    if (withAccessibility()) {
        launcher_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/libexec/at-spi-bus-launcher", "--launch-immediately",
                                     "--a11y=1"},
            busEnvironment());
        ASSERT_TRUE(waitUntil(
            [&] {
                GVariant* reply = g_dbus_connection_call_sync(
                    connection_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                    "org.freedesktop.DBus", "NameHasOwner", g_variant_new("(s)", "org.a11y.Bus"),
                    G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
                gboolean owned = FALSE;
                if (reply != nullptr) {
                    g_variant_get(reply, "(b)", &owned);
                    g_variant_unref(reply);
                }
                return owned == TRUE;
            },
            30s))
            << "the accessibility bus did not start: " << launcher_->stderrText();
    }
    windowManager_ =
        std::make_unique<ChildProcess>(std::vector<std::string>{"openbox"}, busEnvironment());
}

void DesktopFixture::TearDown() {
    // Clients first, then the services they use; each by its pid.
    helpers_.clear();
    windows_.clear();
    windowManager_.reset();
    launcher_.reset();
    monitor_.reset();
    BusFixture::TearDown();
    xvfb_.reset();
    if (!runtimeDir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(runtimeDir_, ignored);
    }
}

std::map<std::string, std::string> DesktopFixture::busEnvironment() const {
    auto env = BusFixture::busEnvironment();
    env["DISPLAY"] = display_;
    env["GDK_BACKEND"] = "x11";
    env["NO_AT_BRIDGE"] = "";
    env["AT_SPI_BUS_ADDRESS"] = "";
    env["XDG_RUNTIME_DIR"] = runtimeDir_;
    return env;
}

FixtureWindow& DesktopFixture::openWindow(const std::string& title) {
    windows_.push_back(std::make_unique<FixtureWindow>(title, busEnvironment()));
    return *windows_.back();
}

void DesktopFixture::activate(const FixtureWindow& window) {
    std::string xid = std::to_string(window.xid());
    bool active = waitUntil(
        [&] {
            ChildProcess activate({"xdotool", "windowactivate", "--sync", xid}, busEnvironment());
            activate.waitForExit(10s);
            ChildProcess query({"xdotool", "getactivewindow"}, busEnvironment());
            query.waitForExit(10s);
            return query.stdoutText() == xid + "\n";
        },
        30s);
    ASSERT_TRUE(active) << "window " << xid << " never became active";
}

bool DesktopFixture::waitForLine(const ChildProcess& process, const std::string& line,
                                 std::chrono::milliseconds timeout) {
    return waitUntil(
        [&] {
            auto lines = process.stdoutLines();
            return std::find(lines.begin(), lines.end(), line) != lines.end();
        },
        timeout);
}

}  // namespace glimwick::testing
