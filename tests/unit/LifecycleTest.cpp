// The process host and the command channel on the simulated platform: banner, registration,
// dispatch, teardown and the weak references that let the service go first.

#include <gtest/gtest.h>

#include "HelperHarness.h"

namespace glimwick::sim {
namespace {

const std::vector<std::string> kCommands = {"com.corvala.helper.startMonitoring",
                                            "com.corvala.helper.stopMonitoring",
                                            "com.corvala.helper.checkPermission",
                                            "com.corvala.helper.requestPermission",
                                            "com.corvala.helper.ping",
                                            "com.corvala.helper.shutdownIfMismatch",
                                            "com.corvala.helper.shutdownRedundant"};

TEST(Lifecycle, BannerIsFourLinesAndComesBeforeTheStartDiagnostic) {
    HelperHarness helper;
    helper.sim.process.osVersion = "Version 14.5 (Build 23F79)";
    helper.launch();

    const std::vector<std::string> expected = {
        "line [Glimwick] =============================",
        "line [Glimwick] 辅助进程已启动",
        "line [Glimwick] macOS Version 14.5 (Build 23F79)",
        "line [Glimwick] =============================",
        "post com.corvala.app.diagnostics",
    };
    EXPECT_EQ(helper.sim.journal.entries, expected);
    EXPECT_EQ(helper.diagnostics(), std::vector<std::string>{"启动"});
}

TEST(Lifecycle, StartRegistersTheSevenCommandsInCatalogueOrder) {
    HelperHarness helper;
    EXPECT_TRUE(helper.service().observerTokens().empty());
    helper.launch();

    EXPECT_EQ(helper.sim.center.registeredNames(), kCommands);
    EXPECT_EQ(helper.service().observerTokens(), helper.sim.center.liveTokens());
}

TEST(Lifecycle, LaunchingTwiceStartsOnce) {
    HelperHarness helper;
    helper.launch();
    helper.launch();
    EXPECT_EQ(helper.sim.console.lines.size(), 4u);
    EXPECT_EQ(helper.service().observerTokens().size(), 7u);
}

TEST(Lifecycle, PingIsAnsweredWhateverItsObject) {
    HelperHarness helper;
    helper.launch();
    helper.send("com.corvala.helper.ping");
    helper.send("com.corvala.helper.ping", std::string("{\"anything\":1}"));
    helper.send("com.corvala.helper.ping", std::string("not json"));
    helper.send("com.corvala.helper.ping", NonStringObject{});

    auto pongs = helper.events("com.corvala.app.pong");
    ASSERT_EQ(pongs.size(), 4u);
    for (const auto& pong : pongs) {
        EXPECT_EQ(pong, (nlohmann::json{{"bundlePath", "/opt/Glimwick"}, {"pid", 4242}}));
        EXPECT_TRUE(pong["pid"].is_number_integer());
    }
}

TEST(Lifecycle, CommandsRunOneAfterAnotherInDeliveryOrder) {
    HelperHarness helper;
    helper.launch();
    helper.forget();
    helper.sim.process.pid = 1;
    helper.sim.center.deliver("com.corvala.helper.ping");
    helper.sim.center.deliver("com.corvala.helper.ping");
    // Nothing runs before the main queue turns.
    EXPECT_TRUE(helper.events("com.corvala.app.pong").empty());
    helper.sim.queue.drain();
    EXPECT_EQ(helper.events("com.corvala.app.pong").size(), 2u);
}

TEST(Lifecycle, TerminationTearsDownAndPrintsTheExitLineLast) {
    HelperHarness helper;
    helper.launch();
    helper.sim.application.terminate();

    EXPECT_FALSE(helper.service().isMonitoring());
    EXPECT_TRUE(helper.service().observerTokens().empty());
    EXPECT_TRUE(helper.sim.center.liveTokens().empty());
    EXPECT_TRUE(helper.sim.queue.quitRequested());
    EXPECT_EQ(helper.sim.console.lines.back(), "[Glimwick] 辅助进程已退出");

    // Teardown posts nothing, and later commands find no registration.
    helper.forget();
    helper.send("com.corvala.helper.ping");
    helper.sim.application.terminate();
    EXPECT_TRUE(helper.sim.center.posts.empty());
    EXPECT_TRUE(helper.sim.console.lines.empty());
}

TEST(Lifecycle, PendingWorkThatFindsTheServiceGoneDoesNothing) {
    HelperHarness helper;
    helper.launch();
    // A command already queued, and the 0.5 s item, both outlive the service.
    helper.sim.center.deliver("com.corvala.helper.ping");
    helper.sim.application.setDelegate(nullptr);
    helper.delegate.reset();
    helper.forget();
    helper.advance(1.0);
    EXPECT_TRUE(helper.sim.center.posts.empty());

    // The registrations were never removed (only termination does that), yet nothing answers.
    helper.send("com.corvala.helper.ping");
    EXPECT_TRUE(helper.sim.center.posts.empty());
}

}  // namespace
}  // namespace glimwick::sim
