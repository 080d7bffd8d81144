// Shutting down outdated and duplicate copies.

#include <gtest/gtest.h>

#include "HelperHarness.h"
#include "observer/SelectionObserver.h"

namespace glimwick::sim {
namespace {

using nlohmann::json;

class Instances : public ::testing::Test {
protected:
    Instances() {
        helper.launch();
        helper.advance(1);
        helper.selectInTextApp("hello", Rect{1, 1, 10, 10});
        helper.startMonitoring();
        helper.forget();
    }

    void mismatch(const json& object) {
        helper.send("com.corvala.helper.shutdownIfMismatch", object.dump());
    }
    void redundant(const json& object) {
        helper.send("com.corvala.helper.shutdownRedundant", object.dump());
    }
    bool terminated() const { return helper.sim.application.isTerminated(); }

    // After a decision to exit: still answering for 0.1 s, then the orderly termination.
    void expectExit() {
        EXPECT_FALSE(helper.service().isMonitoring());
        EXPECT_FALSE(helper.service().selectionObserver()->isRunning());
        EXPECT_TRUE(helper.service().selectionObserver());  // stopped, not released
        helper.advance(0.05);
        EXPECT_FALSE(terminated());
        helper.send("com.corvala.helper.ping");
        EXPECT_EQ(helper.events("com.corvala.app.pong").size(), 1u);
        helper.advance(0.05);
        EXPECT_TRUE(terminated());
        EXPECT_EQ(helper.sim.console.lines.back(), "[Glimwick] 辅助进程已退出");
        EXPECT_TRUE(helper.sim.center.liveTokens().empty());
        EXPECT_TRUE(helper.events("com.corvala.app.permissionStatus").empty());
    }
    void expectKeptRunning() {
        helper.advance(1);
        EXPECT_FALSE(terminated());
        EXPECT_TRUE(helper.service().isMonitoring());
    }

    HelperHarness helper;
};

TEST_F(Instances, MismatchWithTheOwnPathKeepsRunning) {
    mismatch({{"expectedBundlePath", "/opt/Glimwick"}, {"other", 1}});
    EXPECT_EQ(
        helper.diagnostics(),
        std::vector<std::string>{"✅ 收到 shutdownIfMismatch，但当前已是目标 Helper，继续运行"});
    expectKeptRunning();
}

TEST_F(Instances, MismatchComparesCanonicalFormsOnly) {
    helper.sim.process.bundle = "/opt/Caf\xc3\xa9";
    mismatch({{"expectedBundlePath", "/opt/Cafe\xcc\x81"}});
    expectKeptRunning();
}

TEST_F(Instances, MismatchWithATrailingSlashExits) {
    mismatch({{"expectedBundlePath", "/opt/Glimwick/"}});
    EXPECT_EQ(helper.diagnostics(),
              (std::vector<std::string>{
                  "🛑 检测到旧 Helper，准备自行退出: /opt/Glimwick -> /opt/Glimwick/",
                  "Observer: SelectionObserver stopped"}));
    expectExit();
}

TEST_F(Instances, InvalidMismatchRequestsOnlyReport) {
    for (const char* object :
         {"[\"/opt/Glimwick/\"]", "{\"expectedBundlePath\": 12}", "{}", "nope"}) {
        helper.send("com.corvala.helper.shutdownIfMismatch", std::string(object));
    }
    helper.send("com.corvala.helper.shutdownIfMismatch");
    EXPECT_EQ(helper.diagnostics(),
              std::vector<std::string>(5, "⚠️ 收到 shutdownIfMismatch 但参数无效"));
    expectKeptRunning();
}

TEST_F(Instances, RedundantForAnotherPathIsIgnoredSilently) {
    redundant({{"expectedBundlePath", "/other/Glimwick"}, {"keepPID", 1}});
    redundant({{"expectedBundlePath", "/other/Glimwick"}, {"keepPID", 4242}});
    EXPECT_TRUE(helper.diagnostics().empty());
    expectKeptRunning();
}

TEST_F(Instances, RedundantIsValidatedBeforeAnyComparison) {
    redundant({{"expectedBundlePath", "/other/Glimwick"}});
    redundant({{"expectedBundlePath", "/opt/Glimwick"}});
    redundant({{"expectedBundlePath", "/opt/Glimwick"}, {"keepPID", "123"}});
    redundant({{"expectedBundlePath", "/opt/Glimwick"}, {"keepPID", 12.5}});
    redundant({{"expectedBundlePath", "/opt/Glimwick"}, {"keepPID", true}});
    redundant({{"expectedBundlePath", "/opt/Glimwick"}, {"keepPID", 1e300}});
    redundant({{"expectedBundlePath", 5}, {"keepPID", 1}});
    EXPECT_EQ(helper.diagnostics(),
              std::vector<std::string>(7, "⚠️ 收到 shutdownRedundant 但参数无效"));
    expectKeptRunning();
}

TEST_F(Instances, RedundantKeepsTheNamedProcess) {
    redundant({{"expectedBundlePath", "/opt/Glimwick"}, {"keepPID", 4242.0}});
    EXPECT_EQ(helper.diagnostics(),
              std::vector<std::string>{"✅ 收到 shutdownRedundant，但当前是保留实例 PID=4242"});
    expectKeptRunning();
}

TEST_F(Instances, RedundantExitsForAnyOtherKeepPID) {
    redundant({{"expectedBundlePath", "/opt/Glimwick"}, {"keepPID", 0}});
    EXPECT_EQ(helper.diagnostics().front(),
              "🛑 检测到同路径重复 Helper，准备自行退出: pid=4242 keepPID=0");
    expectExit();
}

TEST_F(Instances, RepeatedExitDecisionsTerminateOnce) {
    mismatch({{"expectedBundlePath", "/elsewhere"}});
    mismatch({{"expectedBundlePath", "/elsewhere"}});
    helper.advance(0.2);
    EXPECT_TRUE(terminated());
    EXPECT_EQ(std::count(helper.sim.console.lines.begin(), helper.sim.console.lines.end(),
                         "[Glimwick] 辅助进程已退出"),
              1);
}

}  // namespace
}  // namespace glimwick::sim
