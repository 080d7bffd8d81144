// Permission status, the permission request and the delayed trust verification.

#include <gtest/gtest.h>

#include "HelperHarness.h"
#include "observer/SelectionObserver.h"

namespace glimwick::sim {
namespace {

using nlohmann::json;

class Permission : public ::testing::Test {
protected:
    Permission() { helper.launch(); }

    json statusOf(bool trusted, std::optional<ax::AXError> probe) {
        helper.sim.desktop.trusted = trusted;
        if (probe) {
            helper.sim.desktop.focusedElementAnswer = ax::Answer{*probe, std::nullopt};
        } else {
            helper.sim.desktop.focus(helper.textArea);
        }
        helper.forget();
        helper.send("com.corvala.helper.checkPermission");
        auto statuses = helper.events("com.corvala.app.permissionStatus");
        EXPECT_EQ(statuses.size(), 1u);
        return statuses.empty() ? json() : statuses.back();
    }

    HelperHarness helper;
};

TEST_F(Permission, StatusCombinesTrustAndTheFocusProbe) {
    auto status = [](bool granted, bool trusted, bool direct, int code) {
        return json{{"granted", granted},
                    {"axTrusted", trusted},
                    {"axDirect", direct},
                    {"axErrorCode", code},
                    {"bundlePath", "/opt/Glimwick"},
                    {"execPath", "/opt/Glimwick/glimwick"},
                    {"pid", 4242}};
    };
    EXPECT_EQ(statusOf(true, std::nullopt), status(true, true, true, 0));
    EXPECT_EQ(statusOf(false, ax::kAXErrorAPIDisabled), status(false, false, false, -25211));
    EXPECT_EQ(statusOf(false, ax::kAXErrorNoValue), status(true, false, true, -25212));
    EXPECT_EQ(statusOf(true, ax::kAXErrorAPIDisabled), status(true, true, false, -25211));
    // The probe never prompts.
    for (bool prompt : helper.sim.desktop.trustPrompts) {
        EXPECT_FALSE(prompt);
    }
}

TEST_F(Permission, EveryCheckPostsEvenWhenNothingChanged) {
    helper.send("com.corvala.helper.checkPermission");
    helper.send("com.corvala.helper.checkPermission", std::string("ignored"));
    auto statuses = helper.events("com.corvala.app.permissionStatus");
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_EQ(statuses[0], statuses[1]);
    helper.sim.process.args.clear();
    helper.send("com.corvala.helper.checkPermission");
    EXPECT_EQ(helper.events("com.corvala.app.permissionStatus").back()["execPath"], "unknown");
    // No diagnostic comes with a check.
    EXPECT_EQ(helper.diagnostics(), std::vector<std::string>{"启动"});
}

TEST_F(Permission, AStatusArrivesHalfASecondAfterLaunchUnasked) {
    helper.advance(0.49);
    EXPECT_TRUE(helper.events("com.corvala.app.permissionStatus").empty());
    helper.advance(0.01);
    EXPECT_EQ(helper.events("com.corvala.app.permissionStatus").size(), 1u);
    helper.advance(10);
    EXPECT_EQ(helper.events("com.corvala.app.permissionStatus").size(), 1u);
}

TEST_F(Permission, RequestPromptsOpensSettingsAndAnswersOnceASecondLater) {
    helper.advance(1);
    helper.forget();
    helper.send("com.corvala.helper.requestPermission");
    EXPECT_EQ(helper.sim.desktop.trustPrompts.back(), true);
    ASSERT_EQ(helper.sim.workspace.openedURLs.size(), 1u);
    EXPECT_EQ(helper.sim.workspace.openedURLs[0],
              "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility");
    EXPECT_EQ(helper.sim.workspace.openedURLs[0].size(), 77u);
    EXPECT_TRUE(helper.sim.center.posts.empty());
    helper.advance(0.99);
    EXPECT_TRUE(helper.sim.center.posts.empty());
    helper.advance(0.01);
    EXPECT_EQ(helper.events("com.corvala.app.permissionStatus").size(), 1u);
    helper.advance(5);
    EXPECT_EQ(helper.sim.center.posts.size(), 1u);
}

class Verification : public Permission {
protected:
    // Monitoring started through direct access or trust, with TextEdit focused.
    void startWith(const std::string& text = "a selection longer than twenty characters") {
        helper.advance(1);  // past the start-up check
        helper.selectInTextApp(text, Rect{10, 10, 100, 12});
        helper.startMonitoring();
        ASSERT_TRUE(helper.service().isMonitoring());
        helper.forget();
    }
    std::vector<std::string> verificationDiagnostics() {
        std::vector<std::string> found;
        for (const auto& context : helper.diagnostics()) {
            if (context.find("AX验证") != std::string::npos) {
                found.push_back(context);
            }
        }
        return found;
    }
};

TEST_F(Verification, TrustHoldingReportsOnlyTheSummary) {
    startWith("选区文本 with emoji 👍🏽 and more text after it");
    helper.advance(1.99);
    EXPECT_TRUE(verificationDiagnostics().empty());
    helper.advance(0.01);
    EXPECT_EQ(
        verificationDiagnostics(),
        std::vector<std::string>{"🔍AX验证: ✅TextEdit(pid=100) | NSWorkspace前台=TextEdit(pid=100) "
                                 "| selectedText=0 text=选区文本 with emoji 👍🏽 an"});
    EXPECT_TRUE(helper.events("com.corvala.app.permissionStatus").empty());
    EXPECT_TRUE(helper.service().isMonitoring());
}

TEST_F(Verification, SummariesOfFailedQueries) {
    startWith();
    helper.sim.desktop.focusedApplicationAnswer =
        ax::Answer{ax::kAXErrorCannotComplete, std::nullopt};
    helper.sim.desktop.focusedElementAnswer = ax::Answer{ax::kAXErrorNoValue, std::nullopt};
    helper.sim.workspace.frontmost.reset();
    helper.service().verifyAccessibilityTrust();
    helper.sim.desktop.focusedApplicationAnswer = ax::Answer{0, helper.textArea};
    helper.sim.desktop.set(helper.textArea, "AXTitle", {0, ax::OtherValue{}});
    helper.sim.desktop.focusedElementAnswer.reset();
    helper.sim.desktop.set(helper.textArea, "AXSelectedText", {ax::kAXErrorNoValue, std::nullopt});
    helper.sim.workspace.frontmost = RunningApplication{55, std::nullopt};
    helper.service().verifyAccessibilityTrust();
    EXPECT_EQ(
        verificationDiagnostics(),
        (std::vector<std::string>{
            "🔍AX验证: axError=-25204 | NSWorkspace前台=nil(pid=0) | focusedElement=-25212",
            "🔍AX验证: ✅?(pid=100) | NSWorkspace前台=nil(pid=55) | selectedText=-25212 text=nil"}));
}

TEST_F(Verification, LostTrustStopsMonitoringAndReportsAllFalse) {
    // Started through direct access only: not trusted, but the probe is not -25211.
    helper.sim.desktop.trusted = false;
    startWith();
    helper.advance(2.0);
    auto diagnostics = verificationDiagnostics();
    ASSERT_EQ(diagnostics.size(), 2u);
    EXPECT_EQ(
        diagnostics[1],
        "⚠️AX验证发现 trusted=false，判定辅助功能权限已失效，停止监听");
    auto statuses = helper.events("com.corvala.app.permissionStatus");
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0]["granted"], false);
    EXPECT_EQ(statuses[0]["axTrusted"], false);
    EXPECT_EQ(statuses[0]["axDirect"], false);
    EXPECT_EQ(statuses[0]["axErrorCode"], 0);  // the probe itself succeeded
    EXPECT_FALSE(helper.service().isMonitoring());
    ASSERT_TRUE(helper.service().selectionObserver());
    EXPECT_FALSE(helper.service().selectionObserver()->isRunning());
}

TEST_F(Verification, LostTrustWithoutAnObserverStillReports) {
    helper.sim.desktop.trusted = false;
    helper.service().verifyAccessibilityTrust();
    EXPECT_EQ(helper.events("com.corvala.app.permissionStatus").size(), 1u);
    EXPECT_FALSE(helper.service().isMonitoring());
    EXPECT_FALSE(helper.service().selectionObserver());
}

TEST_F(Verification, TransientAPIDisabledKeepsMonitoring) {
    startWith();
    helper.sim.desktop.focusedElementAnswer = ax::Answer{ax::kAXErrorAPIDisabled, std::nullopt};
    helper.sim.workspace.frontmost =
        RunningApplication{HelperHarness::kMainApp, std::string("Corvala")};
    helper.service().verifyAccessibilityTrust();
    EXPECT_EQ(verificationDiagnostics().back(),
              "ℹ️AX验证命中主应用前台瞬时 false negative，保持已授权状态");

    helper.sim.workspace.frontmost = RunningApplication{HelperHarness::kTextApp, std::nullopt};
    helper.service().verifyAccessibilityTrust();
    EXPECT_EQ(verificationDiagnostics().back(),
              "ℹ️AX验证出现瞬时 apiDisabled，但 trusted=true，保持已授权状态");
    EXPECT_TRUE(helper.service().isMonitoring());
    EXPECT_TRUE(helper.events("com.corvala.app.permissionStatus").empty());
}

TEST(VerificationWithoutMainApp, NeverClaimsTheMainAppIsInFront) {
    HelperHarness helper;
    helper.launch();
    helper.sim.desktop.focusedElementAnswer = ax::Answer{ax::kAXErrorAPIDisabled, std::nullopt};
    // A frontmost application with pid 0 would equal an unset mainAppPID.
    helper.sim.workspace.frontmost = RunningApplication{0, std::nullopt};
    helper.service().verifyAccessibilityTrust();
    EXPECT_EQ(helper.diagnostics().back(),
              "ℹ️AX验证出现瞬时 apiDisabled，但 trusted=true，保持已授权状态");
}

}  // namespace
}  // namespace glimwick::sim
