// The command handlers of the real helper on a private bus without an accessibility bus.

#include <signal.h>

#include <filesystem>

#include "BusFixture.h"

namespace glimwick::testing {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

std::string helperDirectory() {
    return std::filesystem::canonical(GLIMWICK_HELPER_PATH).parent_path().string();
}

class CommandIntegration : public BusFixture {
protected:
    void SetUp() override {
        BusFixture::SetUp();
        helper_ = &startHelper();
        waitForHelperReady(*helper_);
    }
    ChildProcess& helper() { return *helper_; }
    bool hasDiagnostic(const std::string& context) {
        auto contexts = diagnosticsOf(helper_->pid());
        return std::find(contexts.begin(), contexts.end(), context) != contexts.end();
    }
    ChildProcess* helper_ = nullptr;
};

TEST_F(CommandIntegration, PermissionIsReportedAtStartAndOnRequest) {
    // The unasked status half a second after launch, then one per check.
    ASSERT_TRUE(waitForEvent("com.corvala.app.permissionStatus", 1));
    post("com.corvala.helper.checkPermission", std::nullopt);
    ASSERT_TRUE(waitForEvent("com.corvala.app.permissionStatus", 2));
    auto status = eventsNamed("com.corvala.app.permissionStatus").back().payload;
    EXPECT_EQ(status, (json{{"granted", false},
                            {"axTrusted", false},
                            {"axDirect", false},
                            {"axErrorCode", -25211},
                            {"bundlePath", helperDirectory()},
                            {"execPath", GLIMWICK_HELPER_PATH},
                            {"pid", helper().pid()}}));
}

TEST_F(CommandIntegration, StartIsRefusedWithoutAccessibility) {
    ASSERT_TRUE(waitForEvent("com.corvala.app.permissionStatus", 1));
    post("com.corvala.helper.startMonitoring", R"({"appPID": 77})");
    ASSERT_TRUE(waitForEvent("com.corvala.app.permissionStatus", 2));
    EXPECT_TRUE(hasDiagnostic(
        "startMonitoring权限检查: axTrusted=false axDirect=false granted=false axError=-25211"));
    EXPECT_TRUE(hasDiagnostic(
        "startMonitoring失败:无权限 axTrusted=false axDirect=false granted=false axError=-25211"));
    // Stop while off says nothing; the helper still answers.
    post("com.corvala.helper.stopMonitoring", std::nullopt);
    ASSERT_TRUE(roundTrip());
    EXPECT_FALSE(hasDiagnostic("🛑监听已停止"));
}

TEST_F(CommandIntegration, MismatchWithTheOwnPathKeepsRunning) {
    post("com.corvala.helper.shutdownIfMismatch",
         json{{"expectedBundlePath", helperDirectory()}}.dump());
    ASSERT_TRUE(waitForDiagnostic("✅ 收到 shutdownIfMismatch，但当前已是目标 Helper，继续运行"));
    ASSERT_TRUE(roundTrip());
    EXPECT_FALSE(helper().exitStatus());
}

TEST_F(CommandIntegration, MismatchWithAnotherPathExitsWithinASecond) {
    auto asked = std::chrono::steady_clock::now();
    post("com.corvala.helper.shutdownIfMismatch",
         json{{"expectedBundlePath", "/opt/Other"}}.dump());
    ASSERT_TRUE(helper().waitForExit(10s));
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s);
    EXPECT_EQ(helper().exitStatus(), 0);
    EXPECT_TRUE(hasDiagnostic(
        "🛑 检测到旧 Helper，准备自行退出: " + helperDirectory() + " -> /opt/Other"));
    EXPECT_EQ(helper().stdoutLines().back(), "[Glimwick] 辅助进程已退出");
}

TEST_F(CommandIntegration, RedundantExitsUnlessItIsTheKeptProcess) {
    post("com.corvala.helper.shutdownRedundant",
         json{{"expectedBundlePath", helperDirectory()}, {"keepPID", helper().pid()}}.dump());
    ASSERT_TRUE(waitForDiagnostic("✅ 收到 shutdownRedundant，但当前是保留实例 PID=" +
                                  std::to_string(helper().pid())));
    ASSERT_TRUE(roundTrip());
    EXPECT_FALSE(helper().exitStatus());

    post("com.corvala.helper.shutdownRedundant",
         json{{"expectedBundlePath", helperDirectory()}, {"keepPID", helper().pid() + 1}}.dump());
    ASSERT_TRUE(helper().waitForExit(10s));
    EXPECT_EQ(helper().exitStatus(), 0);
    EXPECT_EQ(helper().stdoutLines().back(), "[Glimwick] 辅助进程已退出");
}

TEST_F(CommandIntegration, CtlCommandsWaitForTheirAnswers) {
    auto ctl = [&](std::vector<std::string> args) {
        args.insert(args.begin(), GLIMWICK_CTL_PATH);
        args.push_back("--wait");
        args.push_back("10");
        ChildProcess process(args, busEnvironment());
        EXPECT_TRUE(process.waitForExit(30s));
        return std::make_pair(process.exitStatus().value_or(-2), process.stdoutText());
    };
    auto [checkStatus, checkOut] = ctl({"check-permission"});
    EXPECT_EQ(checkStatus, 0);
    EXPECT_NE(checkOut.find("com.corvala.app.permissionStatus"), std::string::npos);

    auto [startStatus, startOut] = ctl({"start", "--app-pid", "12"});
    EXPECT_NE(startStatus, 0);  // refused: no accessibility here
    EXPECT_NE(startOut.find("startMonitoring失败"), std::string::npos);

    auto [keepStatus, keepOut] = ctl({"shutdown-if-mismatch", helperDirectory()});
    EXPECT_EQ(keepStatus, 0);
    auto [exitStatus, exitOut] = ctl({"shutdown-redundant", helperDirectory(), "1"});
    EXPECT_EQ(exitStatus, 0);
    EXPECT_TRUE(helper().waitForExit(10s));
}

}  // namespace
}  // namespace glimwick::testing
