// The helper against a desktop stack that misbehaves, and what it must never leak.

#include <signal.h>

#include <regex>

#include "DesktopFixture.h"
#include "FixtureText.h"

namespace glimwick::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using json = nlohmann::json;

class FaultsE2E : public DesktopFixture {
protected:
    void SetUp() override {
        DesktopFixture::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        window_ = &openWindow("Glimwick Fixture A");
        activate(*window_);
        helper_ = &startHelper();
        waitForHelperReady(*helper_);
        post("com.corvala.helper.startMonitoring", R"({"appPID": 1})");
        ASSERT_TRUE(waitForLine(*helper_, "[SelectionObserver][INFO] Observer bound to pid=" +
                                              std::to_string(window_->pid()) + ", subscribed=1/1"))
            << helper_->stdoutText();
    }
    void select(FixtureWindow& window, int start, int end) {
        ASSERT_TRUE(
            window.command("select view " + std::to_string(start) + " " + std::to_string(end)));
    }
    // Pings for a while and returns the slowest answer; fails on a lost one.
    Clock::duration slowestPing(std::chrono::milliseconds span) {
        Clock::duration slowest{};
        auto until = Clock::now() + span;
        while (Clock::now() < until) {
            auto sent = Clock::now();
            EXPECT_TRUE(roundTrip());
            slowest = std::max(slowest, Clock::now() - sent);
            auto next = Clock::now() + 100ms;
            waitUntil([&] { return Clock::now() >= next; }, 1s);
        }
        return slowest;
    }
    json statusNow() {
        size_t before = eventsNamed("com.corvala.app.permissionStatus").size();
        post("com.corvala.helper.checkPermission", std::nullopt);
        EXPECT_TRUE(waitForEvent("com.corvala.app.permissionStatus", before + 1));
        return eventsNamed("com.corvala.app.permissionStatus").back().payload;
    }
    FixtureWindow* window_ = nullptr;
    ChildProcess* helper_ = nullptr;
};

TEST_F(FaultsE2E, TheFocusedApplicationKilledWhileBeingRead) {
    select(*window_, 0, 8);
    ASSERT_TRUE(waitForEvent("com.corvala.app.selectionChanged"));
    ::kill(window_->pid(), SIGKILL);
    EXPECT_LT(slowestPing(2s), 2s);
    EXPECT_FALSE(helper_->exitStatus());

    FixtureWindow& next = openWindow("Glimwick Fixture B");
    activate(next);
    select(next, 9, 16);
    EXPECT_TRUE(waitForEvent("com.corvala.app.selectionChanged", 2, 15s)) << helper_->stdoutText();
}

TEST_F(FaultsE2E, AStoppedApplicationStallsTheHelperNoLongerThanTheCallTimeOut) {
    select(*window_, 0, 8);
    ASSERT_TRUE(waitForEvent("com.corvala.app.selectionChanged"));
    ::kill(window_->pid(), SIGSTOP);
    // The time-out is one second; a reading must not wait for several of them in a row.
    auto slowest = slowestPing(5s);
    ::kill(window_->pid(), SIGCONT);
    EXPECT_LT(slowest, 1800ms);  // one time-out and the rest of a tick, not several in a row
    EXPECT_FALSE(helper_->exitStatus());

    // Once it answers again, selections come through as before (after the helper's short rest
    // from it).
    select(*window_, 9, 16);
    EXPECT_TRUE(waitForEvent("com.corvala.app.selectionChanged", 2, 15s)) << helper_->stdoutText();
}

TEST_F(FaultsE2E, TheRegistryKilledAndRestarted) {
    select(*window_, 0, 8);
    ASSERT_TRUE(waitForEvent("com.corvala.app.selectionChanged"));
    // Only this desktop's registry: it shares the accessibility bus launcher's process group.
    ChildProcess kill({"pkill", "-KILL", "-g", std::to_string(desktop_.accessibilityBus()->pid()),
                       "-f", "at-spi2-registryd"},
                      busEnvironment());
    ASSERT_TRUE(kill.waitForExit(10s));
    ASSERT_EQ(kill.exitStatus(), 0) << "no registry was running";

    json status = statusNow();
    EXPECT_EQ(status["axTrusted"], true);  // the accessibility bus itself is still there
    EXPECT_FALSE(helper_->exitStatus());

    // The bus starts the registry again on demand; the helper goes on working.
    select(*window_, 9, 16);
    EXPECT_TRUE(waitForEvent("com.corvala.app.selectionChanged", 2, 15s)) << helper_->stdoutText();
    FixtureWindow& next = openWindow("Glimwick Fixture B");
    activate(next);
    select(next, 17, 25);
    EXPECT_TRUE(waitForEvent("com.corvala.app.selectionChanged", 3, 15s)) << helper_->stdoutText();
}

TEST_F(FaultsE2E, TheAccessibilityBusGoingAwayIsReportedAsIs) {
    ::kill(-desktop_.accessibilityBus()->pid(), SIGKILL);
    ASSERT_TRUE(waitUntil(
        [&] {
            json status = statusNow();
            return status["axErrorCode"] == -25211;
        },
        15s));
    json status = statusNow();
    EXPECT_EQ(status["granted"], false);
    EXPECT_EQ(status["axTrusted"], false);
    EXPECT_LT(slowestPing(1s), 1s);
    EXPECT_FALSE(helper_->exitStatus());
}

TEST_F(FaultsE2E, AppPIDsFromTheBusAreKeptUnlessUsable) {
    std::string helperPID = std::to_string(helper_->pid());
    auto startedWith = [&](const std::string& pid) {
        return "✅监听已启动 mainAppPID=" + pid + " helperPID=" + helperPID;
    };
    auto restart = [&](const std::string& object) {
        post("com.corvala.helper.stopMonitoring", std::nullopt);
        post("com.corvala.helper.startMonitoring", object);
        EXPECT_TRUE(roundTrip());
    };
    auto times = [&](const std::string& context) {
        auto contexts = diagnosticsOf(helper_->pid());
        return std::count(contexts.begin(), contexts.end(), context);
    };
    restart(R"({"appPID": 77})");
    ASSERT_EQ(times(startedWith("77")), 1);
    std::string deep = std::string(100000, '[') + std::string(100000, ']');
    for (const std::string& bad :
         {std::string(R"({"appPID": 1e400})"), std::string(R"({"appPID": "78"})"),
          std::string(R"({"appPID": 2147483648})"), std::string(R"({"appPID": 7.5})"),
          std::string(R"({"appPID": true})"), "{\"appPID\": " + deep + "}", std::string("[78]"),
          std::string("{")}) {
        restart(bad);
    }
    EXPECT_EQ(times(startedWith("77")), 9);
    restart(R"({"appPID": -0})");
    EXPECT_EQ(times(startedWith("0")), 1);
    EXPECT_FALSE(helper_->exitStatus());
}

TEST_F(FaultsE2E, SelectedTextTravelsOnlyInSelectionChangedAndAsA30CharacterPrefix) {
    std::string line = "The quick brown fox jumps over the lazy dog.";
    select(*window_, 38, 82);
    ASSERT_TRUE(waitForEvent("com.corvala.app.selectionChanged"));
    ASSERT_EQ(eventsNamed("com.corvala.app.selectionChanged").back().payload["text"], line);
    ASSERT_TRUE(roundTrip());

    // On the console, only the 30-character prefix.
    std::string out = helper_->stdoutText();
    EXPECT_EQ(out.find(line), std::string::npos);
    EXPECT_NE(out.find("Selection validated: The quick brown fox jumps over... at ("),
              std::string::npos);
    // On the bus, the whole text once (the event) and otherwise its prefix.
    std::string traffic = busTraffic();
    size_t whole = 0;
    for (size_t at = traffic.find(line); at != std::string::npos; at = traffic.find(line, at + 1)) {
        ++whole;
    }
    EXPECT_EQ(whole, 1u);
    for (const auto& event : eventsNamed("com.corvala.app.diagnostics")) {
        EXPECT_EQ(event.payload.dump().find(line), std::string::npos) << event.payload.dump();
    }
}

TEST_F(FaultsE2E, TheHelperSubscribesToTheSevenCommandsOnly) {
    std::string helperName;
    for (const auto& event : eventsNamed("com.corvala.app.diagnostics")) {
        if (event.payload.value("pid", 0) == helper_->pid()) {
            helperName = event.sender;
        }
    }
    ASSERT_FALSE(helperName.empty());
    // Every match rule the helper's connection asked the bus for, as the monitor saw them.
    std::regex call(
        "sender=" + helperName +
        " -> destination=org.freedesktop.DBus [^\\n]*member=AddMatch\\n\\s*string \"([^\"]*)\"");
    std::string traffic = busTraffic();
    std::vector<std::string> rules;
    for (std::sregex_iterator it(traffic.begin(), traffic.end(), call), end; it != end; ++it) {
        rules.push_back((*it)[1]);
    }
    std::vector<std::string> expected;
    for (const char* member :
         {"startMonitoring", "stopMonitoring", "checkPermission", "requestPermission", "ping",
          "shutdownIfMismatch", "shutdownRedundant"}) {
        expected.push_back(std::string("type='signal',interface='com.corvala.helper',member='") +
                           member + "'");
    }
    // The accessibility bus watch is the one other rule: name changes of org.a11y.Bus only.
    std::vector<std::string> commands;
    for (const auto& rule : rules) {
        if (rule.find("com.corvala") != std::string::npos) {
            commands.push_back(rule);
        } else {
            EXPECT_NE(rule.find("arg0='org.a11y.Bus'"), std::string::npos) << rule;
        }
    }
    EXPECT_EQ(commands, expected);
}

}  // namespace
}  // namespace glimwick::testing
