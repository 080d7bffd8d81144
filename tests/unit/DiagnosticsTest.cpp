// Console lines and diagnostics notifications.

#include <gtest/gtest.h>

#include "SimPlatform.h"
#include "diagnostics/Diagnostics.h"
#include "diagnostics/Messages.h"

namespace glimwick {
namespace {

class DiagnosticsTest : public ::testing::Test {
protected:
    sim::SimPlatform sim;
    Platform platform = sim.platform();

    nlohmann::json lastPayload() const { return sim.center.posts.back().payload(); }
};

TEST_F(DiagnosticsTest, PayloadHasExactlyTheSevenKeysWithTheirTypes) {
    postDiagnostic(platform, "启动");
    ASSERT_EQ(sim.center.posts.size(), 1u);
    EXPECT_EQ(sim.center.posts[0].name, "com.corvala.app.diagnostics");
    EXPECT_EQ(lastPayload(), (nlohmann::json{{"context", "启动"},
                                             {"pid", 4242},
                                             {"ppid", 4200},
                                             {"execPath", "/opt/Glimwick/glimwick"},
                                             {"bundlePath", "/opt/Glimwick"},
                                             {"bundleID", "com.corvala.glimwick"},
                                             {"macOS", "Version 14.5 (Build 23F79)"}}));
    EXPECT_TRUE(lastPayload()["pid"].is_number_integer());
    EXPECT_TRUE(lastPayload()["ppid"].is_number_integer());
    // postDiagnostic never writes to the console.
    EXPECT_TRUE(sim.console.lines.empty());
}

TEST_F(DiagnosticsTest, MissingFactsReadNilAndUnknownAndAreReadAfresh) {
    sim.process.bundleID.reset();
    sim.process.args.clear();
    postDiagnostic(platform, "a");
    EXPECT_EQ(lastPayload()["bundleID"], "nil");
    EXPECT_EQ(lastPayload()["execPath"], "unknown");

    sim.process.ppid = 1;
    postDiagnostic(platform, "b");
    EXPECT_EQ(lastPayload()["ppid"], 1);
}

TEST_F(DiagnosticsTest, LogWritesOneLinePerLevelAndPostsAboveDebug) {
    logMessage(platform, LogLevel::debug, "d");
    logMessage(platform, LogLevel::info, "SelectionObserver started");
    logMessage(platform, LogLevel::warn, "轮询心跳 ✅");
    logMessage(platform, LogLevel::error, "");

    EXPECT_EQ(
        sim.console.lines,
        (std::vector<std::string>{
            "[SelectionObserver][DEBUG] d", "[SelectionObserver][INFO] SelectionObserver started",
            "[SelectionObserver][WARN] 轮询心跳 ✅", "[SelectionObserver][ERROR] "}));
    ASSERT_EQ(sim.center.posts.size(), 3u);
    EXPECT_EQ(sim.center.posts[0].payload()["context"], "Observer: SelectionObserver started");
    EXPECT_EQ(sim.center.posts[1].payload()["context"], "Observer: 轮询心跳 ✅");
    EXPECT_EQ(sim.center.posts[2].payload()["context"], "Observer: ");
}

TEST_F(DiagnosticsTest, AMessageThatCannotBeEncodedStillGetsItsLine) {
    logMessage(platform, LogLevel::info, "bad \xff");
    EXPECT_TRUE(sim.center.posts.empty());
    EXPECT_EQ(sim.console.lines.size(), 1u);
}

TEST(Messages, DoublesAreShortestRoundTripWithAPoint) {
    EXPECT_EQ(msg::formatDouble(40), "40.0");
    EXPECT_EQ(msg::formatDouble(792.6), "792.6");
    EXPECT_EQ(msg::formatDouble(-0.0), "-0.0");
    EXPECT_EQ(msg::formatDouble(0.1 + 0.2), "0.30000000000000004");
    EXPECT_EQ(msg::formatDouble(1e20), "100000000000000000000.0");
    EXPECT_EQ(msg::invalidSelectionRect(Rect{40, 792.6, -3.5, 10000}),
              "Invalid selection rect: (40.0, 792.6, -3.5, 10000.0), ignored");
}

}  // namespace
}  // namespace glimwick
