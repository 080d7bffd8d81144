// The real helper binary on a private session bus.

#include <signal.h>

#include <filesystem>

#include "BusFixture.h"

namespace glimwick::testing {
namespace {

using namespace std::chrono_literals;

std::string helperDirectory() {
    return std::filesystem::canonical(GLIMWICK_HELPER_PATH).parent_path().string();
}

class ChannelIntegration : public BusFixture {};

TEST_F(ChannelIntegration, StartsWithBannerAndStartDiagnostic) {
    ChildProcess& helper = startHelper();
    waitForHelperReady(helper);

    auto lines = helper.stdoutLines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "[Glimwick] =============================");
    EXPECT_EQ(lines[1], "[Glimwick] 辅助进程已启动");
    EXPECT_EQ(lines[2].rfind("[Glimwick] macOS Linux ", 0), 0u) << lines[2];
    EXPECT_EQ(lines[3], lines[0]);

    auto diagnostics = eventsNamed("com.corvala.app.diagnostics");
    ASSERT_FALSE(diagnostics.empty());
    const auto& payload = diagnostics.front().payload;
    EXPECT_EQ(payload.size(), 7u) << payload.dump();
    EXPECT_EQ(payload["context"], "启动");
    EXPECT_EQ(payload["pid"], helper.pid());
    EXPECT_EQ(payload["ppid"], getpid());
    EXPECT_EQ(payload["execPath"], GLIMWICK_HELPER_PATH);
    EXPECT_EQ(payload["bundlePath"], helperDirectory());
    EXPECT_TRUE(payload["bundleID"].is_string());
    EXPECT_EQ(payload["macOS"], lines[2].substr(std::string("[Glimwick] macOS ").size()));
}

TEST_F(ChannelIntegration, PingFromStockToolsIsAnsweredOnce) {
    ChildProcess& helper = startHelper();
    waitForHelperReady(helper);

    for (const char* object : {static_cast<const char*>(nullptr), "{}"}) {
        std::vector<std::string> argv = {"gdbus",
                                         "emit",
                                         "--session",
                                         "--object-path",
                                         "/",
                                         "--signal",
                                         "com.corvala.helper.ping"};
        if (object != nullptr) {
            argv.push_back(std::string("'") + object + "'");
        }
        size_t before = eventsNamed("com.corvala.app.pong").size();
        ChildProcess gdbus(argv, busEnvironment());
        ASSERT_TRUE(gdbus.waitForExit(20s));
        ASSERT_EQ(gdbus.exitStatus(), 0) << gdbus.stderrText();
        ASSERT_TRUE(waitForEvent("com.corvala.app.pong", before + 1));
    }
    // Exactly one answer each: a last ping's pong arrives after any stray one would have.
    post("com.corvala.helper.ping", std::nullopt);
    ASSERT_TRUE(waitForEvent("com.corvala.app.pong", 3));
    post("com.corvala.helper.ping", std::nullopt);
    ASSERT_TRUE(waitForEvent("com.corvala.app.pong", 4));
    auto pongs = eventsNamed("com.corvala.app.pong");
    ASSERT_EQ(pongs.size(), 4u);
    for (const auto& pong : pongs) {
        EXPECT_EQ(pong.payload,
                  (nlohmann::json{{"bundlePath", helperDirectory()}, {"pid", helper.pid()}}));
    }
}

TEST_F(ChannelIntegration, CtlWatchesEventsAndPings) {
    ChildProcess watch({GLIMWICK_CTL_PATH, "watch", "--count", "1", "--timeout", "20"},
                       busEnvironment());
    ASSERT_TRUE(
        waitUntil([&] { return watch.stderrText().find("watching") != std::string::npos; }, 20s));
    ChildProcess& helper = startHelper();
    waitForHelperReady(helper);
    ASSERT_TRUE(watch.waitForExit(20s));
    EXPECT_EQ(watch.exitStatus(), 0);
    auto line = nlohmann::json::parse(watch.stdoutText());
    EXPECT_EQ(line["name"], "com.corvala.app.diagnostics");
    EXPECT_EQ(line["payload"]["context"], "启动");
    EXPECT_EQ(line["payload"]["pid"], helper.pid());

    ChildProcess ping({GLIMWICK_CTL_PATH, "ping", "--wait", "20"}, busEnvironment());
    ASSERT_TRUE(ping.waitForExit(30s));
    EXPECT_EQ(ping.exitStatus(), 0);
    EXPECT_NE(ping.stdoutText().find("\"com.corvala.app.pong\""), std::string::npos);
}

TEST_F(ChannelIntegration, CtlSendsRawNotificationsAndRefusesBadNames) {
    ChildProcess& helper = startHelper();
    waitForHelperReady(helper);
    ChildProcess send({GLIMWICK_CTL_PATH, "send", "com.corvala.helper.ping", "{}"},
                      busEnvironment());
    ASSERT_TRUE(send.waitForExit(20s));
    EXPECT_EQ(send.exitStatus(), 0);
    EXPECT_TRUE(waitForEvent("com.corvala.app.pong"));

    ChildProcess bad({GLIMWICK_CTL_PATH, "send", "nodots"}, busEnvironment());
    ASSERT_TRUE(bad.waitForExit(20s));
    EXPECT_EQ(bad.exitStatus(), 1);
}

TEST(HelperWithoutBus, ExitsWithStatusOneAndSaysWhy) {
    ChildProcess helper(
        {GLIMWICK_HELPER_PATH},
        {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/glimwick-bus"}, {"DISPLAY", ""}});
    ASSERT_TRUE(helper.waitForExit(20s));
    EXPECT_EQ(helper.exitStatus(), 1);
    EXPECT_EQ(helper.stdoutText(), "");
    std::string err = helper.stderrText();
    EXPECT_EQ(err.rfind("glimwick: cannot reach the D-Bus session bus: ", 0), 0u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
}

TEST_F(ChannelIntegration, EndsWhenTheSessionBusGoesAway) {
    ChildProcess& helper = startHelper();
    waitForHelperReady(helper);
    desktop_.busDaemon()->kill(SIGKILL);
    ASSERT_TRUE(helper.waitForExit(20s));
    EXPECT_EQ(helper.exitStatus(), 1);
    EXPECT_NE(helper.stderrText().find("session bus connection was closed"), std::string::npos);
    EXPECT_EQ(helper.stdoutLines().back(), "[Glimwick] 辅助进程已退出");
}

}  // namespace
}  // namespace glimwick::testing
