// The helper process on the simulated platform: launch, the commands, permission and trust,
// monitoring, publishing, and shutting down outdated and duplicate copies.

#include <gtest/gtest.h>

#include "Harness.h"
#include "diagnostics/Messages.h"

namespace glimwick::sim {
namespace {

using nlohmann::json;
using Lines = std::vector<std::string>;

const Lines kCommands = {"com.corvala.helper.startMonitoring",
                         "com.corvala.helper.stopMonitoring",
                         "com.corvala.helper.checkPermission",
                         "com.corvala.helper.requestPermission",
                         "com.corvala.helper.ping",
                         "com.corvala.helper.shutdownIfMismatch",
                         "com.corvala.helper.shutdownRedundant"};
const json kIdentity = {{"bundlePath", "/opt/Glimwick"}, {"pid", 4242}};

TEST(Service, TerminationUnregistersOnceAndLeavesNothingBehind) {
    Harness helper;
    helper.launch();
    helper.launch();
    EXPECT_EQ(helper.diagnostics(), Lines{"启动"});
    EXPECT_EQ(helper.sim.center.registeredNames(), kCommands);
    helper.sim.application.terminate();
    EXPECT_TRUE(helper.sim.center.registeredNames().empty());
    EXPECT_TRUE(helper.sim.queue.quitRequested());
    EXPECT_EQ(helper.sim.console.lines.back(), "[Glimwick] 辅助进程已退出");
    helper.forget();
    helper.send("com.corvala.helper.ping");
    helper.sim.application.terminate();
    EXPECT_TRUE(helper.sim.center.posts.empty());
    EXPECT_TRUE(helper.sim.console.lines.empty());
}

TEST(Service, WorkThatOutlivesTheServiceDoesNothing) {
    Harness helper;
    helper.launch();
    helper.selectInTextApp("hello world", Rect{10, 20, 100, 12});
    helper.startMonitoring();
    auto observer = helper.service().selectionObserver();  // outlives the service
    // A command already queued, and the 0.5 s status, outlive it too.
    helper.sim.center.deliver("com.corvala.helper.ping");
    helper.sim.application.setDelegate(nullptr);
    helper.delegate.reset();
    helper.forget();
    helper.select(helper.textA, "after the service", Rect{5, 5, 50, 10});
    helper.advance(3);
    helper.send("com.corvala.helper.ping");
    // The observer still found the selection; nobody published or answered anything.
    EXPECT_EQ(helper.lines("Selection validated: after the service... at (30, 10)").size(), 1u);
    EXPECT_TRUE(helper.events("com.corvala.app.selectionChanged").empty());
    EXPECT_TRUE(helper.events("com.corvala.app.pong").empty());
}

TEST(Service, PermissionStatusOnLaunchOnCheckAndOnRequest) {
    Harness helper;
    helper.launch();
    helper.advance(0.49);
    EXPECT_TRUE(helper.events("com.corvala.app.permissionStatus").empty());
    helper.advance(0.01);
    EXPECT_EQ(helper.events("com.corvala.app.permissionStatus").size(), 1u);
    helper.advance(10);

    auto status = [&](bool trusted, std::optional<ax::AXError> probe) {
        helper.sim.desktop.trusted = trusted;
        helper.sim.desktop.focus(helper.textA);
        helper.sim.desktop.focusedElementAnswer.reset();
        if (probe) {
            helper.sim.desktop.focusedElementAnswer = ax::Answer{*probe, std::nullopt};
        }
        helper.forget();
        helper.send("com.corvala.helper.checkPermission");
        auto statuses = helper.events("com.corvala.app.permissionStatus");
        EXPECT_EQ(statuses.size(), 1u);  // every check posts, with no diagnostic
        EXPECT_TRUE(helper.diagnostics().empty());
        return statuses.empty() ? json() : statuses.back();
    };
    auto expected = [](bool granted, bool trusted, bool direct, int code) {
        return json{{"granted", granted},
                    {"axTrusted", trusted},
                    {"axDirect", direct},
                    {"axErrorCode", code},
                    {"bundlePath", "/opt/Glimwick"},
                    {"execPath", "/opt/Glimwick/glimwick"},
                    {"pid", 4242}};
    };
    EXPECT_EQ(status(true, std::nullopt), expected(true, true, true, 0));
    EXPECT_EQ(status(false, ax::kAXErrorAPIDisabled), expected(false, false, false, -25211));
    EXPECT_EQ(status(false, ax::kAXErrorNoValue), expected(true, false, true, -25212));
    EXPECT_EQ(status(true, ax::kAXErrorAPIDisabled), expected(true, true, false, -25211));
    helper.sim.process.args.clear();
    EXPECT_EQ(status(true, std::nullopt)["execPath"], "unknown");
    EXPECT_EQ(helper.sim.desktop.trustPrompts, std::vector<bool>(6, false));  // probes never prompt

    helper.forget();
    helper.send("com.corvala.helper.requestPermission");
    EXPECT_EQ(helper.sim.desktop.trustPrompts.back(), true);
    EXPECT_EQ(helper.sim.workspace.openedURLs,
              Lines{"x-apple.systempreferences:com.apple.preference.security?"
                    "Privacy_Accessibility"});
    helper.advance(0.99);
    EXPECT_TRUE(helper.sim.center.posts.empty());
    helper.advance(0.01);
    EXPECT_EQ(helper.events("com.corvala.app.permissionStatus").size(), 1u);
    helper.advance(5);
    EXPECT_EQ(helper.sim.center.posts.size(), 1u);
}

class Monitoring : public ::testing::Test {
protected:
    Monitoring() {
        helper.launch();
        helper.advance(1);  // past the start-up status
        helper.selectInTextApp("hello world", Rect{10, 20, 100, 12});
        helper.forget();
    }
    Harness helper;
};

TEST_F(Monitoring, StartChecksAccessRestartsAndStops) {
    helper.sim.desktop.trusted = false;
    helper.sim.desktop.focusedElementAnswer = ax::Answer{ax::kAXErrorAPIDisabled, std::nullopt};
    helper.startMonitoring();
    const std::string denied = "axTrusted=false axDirect=false granted=false axError=-25211";
    EXPECT_EQ(helper.diagnostics(), (Lines{"startMonitoring权限检查: " + denied,
                                           "startMonitoring失败:无权限 " + denied}));
    EXPECT_EQ(helper.events("com.corvala.app.permissionStatus").size(), 1u);
    EXPECT_FALSE(helper.service().selectionObserver());
    EXPECT_EQ(helper.service().mainAppPID(), 300);  // recorded all the same

    helper.sim.desktop.focusedElementAnswer = ax::Answer{ax::kAXErrorNoValue, std::nullopt};
    helper.forget();
    helper.startMonitoring("{\"appPID\": 300, \"other\": true}");  // direct access is enough
    EXPECT_EQ(helper.diagnostics(),
              (Lines{"startMonitoring权限检查: axTrusted=false axDirect=true granted=true "
                     "axError=-25212",
                     "Observer: SelectionObserver started",
                     "Observer: Binding observer to focused app pid=100",
                     "Observer: Observer bound to pid=100, subscribed=1/1",
                     "✅监听已启动 mainAppPID=300 helperPID=4242"}));
    helper.sim.desktop.trusted = true;  // else the verification would stop it
    auto observer = helper.service().selectionObserver();
    ASSERT_TRUE(observer);
    EXPECT_EQ(observer->ownerPID, 4242);  // the helper itself, not the main app

    helper.advance(1);
    helper.forget();
    helper.startMonitoring();  // while on: no check, a restart, a verification each
    EXPECT_EQ(helper.diagnostics().front(), "startMonitoring:已在监听中，重新验证...");
    EXPECT_TRUE(helper.diagnostics("权限检查").empty());
    EXPECT_EQ(helper.lines("SelectionObserver s"),
              (Lines{"[SelectionObserver][INFO] SelectionObserver stopped",
                     "[SelectionObserver][INFO] SelectionObserver started"}));
    helper.advance(1);
    EXPECT_EQ(helper.diagnostics("AX验证").size(), 1u);
    helper.advance(1);
    EXPECT_EQ(helper.diagnostics("AX验证").size(), 2u);

    helper.forget();
    helper.send("com.corvala.helper.stopMonitoring", std::string("ignored"));
    EXPECT_EQ(helper.diagnostics(),
              (Lines{"Observer: SelectionObserver stopped", "🛑监听已停止"}));
    helper.send("com.corvala.helper.stopMonitoring");  // while off: nothing
    EXPECT_EQ(helper.diagnostics().size(), 2u);
    for (const char* unusable : {"{}", "{\"appPID\": 7.5}", "{\"appPID\": \"78\"}", "["}) {
        helper.startMonitoring(unusable);
        EXPECT_EQ(helper.service().mainAppPID(), 300) << unusable;  // the recorded one stays
    }
    EXPECT_EQ(helper.service().selectionObserver(), observer);  // kept for the next start
}

TEST_F(Monitoring, SelectionsReachTheMainAppUnlessItIsInFront) {
    // An unset main app (0) is not an unknown front application (0).
    helper.startMonitoring("{\"appPID\": 0}");
    helper.sim.workspace.frontmost = RunningApplication{0, std::nullopt};
    helper.advance(0.4);
    const json first = {
        {"text", "hello world"},         {"x", 10.0},  {"y", 20.0}, {"w", 100.0}, {"h", 12.0},
        {"bundlePath", "/opt/Glimwick"}, {"pid", 4242}};
    EXPECT_EQ(helper.events("com.corvala.app.selectionChanged"), std::vector<json>{first});
    EXPECT_EQ(helper.diagnostics().back(), "📝选区检测到: hello world... rect=(10,20,100,12)");
    // Deselecting: two empty readings, one clear with the identity.
    helper.sim.desktop.set(helper.textA, "AXSelectedText", {0, std::string()});
    helper.sim.desktop.unset(helper.textA, "AXSelectedTextRange");
    helper.advance(2.0);
    EXPECT_EQ(helper.events("com.corvala.app.selectionCleared"), std::vector<json>{kIdentity});

    // The diagnostic cuts the text to 30 characters, the payload does not.
    std::string text;
    for (int i = 0; i < 50; ++i) {
        text += "选区文本abcdef";
    }
    helper.service().publishSelectionChanged(text, Rect{-120.7, 5.9, -40.2, 20.99});
    EXPECT_EQ(helper.diagnostics().back(),
              msg::selectionDetected("选区文本abcdef选区文本abcdef选区文本abcdef",
                                     {-120.7, 5.9, -40.2, 20.99}));
    EXPECT_EQ(helper.events("com.corvala.app.selectionChanged").back()["text"], text);
    EXPECT_DOUBLE_EQ(helper.events("com.corvala.app.selectionChanged").back()["w"], 40.2);
    helper.service().publishSelectionChanged("bad \xff text", Rect{1, 2, 3, 4});
    EXPECT_EQ(helper.diagnostics().back(), "❌选区JSON序列化失败");
    helper.sim.desktop.focusedElementAnswer = ax::Answer{ax::kAXErrorAPIDisabled, std::nullopt};
    helper.service().verifyAccessibilityTrust();
    EXPECT_EQ(helper.diagnostics().back(),
              "ℹ️AX验证出现瞬时 apiDisabled，但 trusted=true，保持已授权状态");
    helper.sim.desktop.focusedElementAnswer.reset();

    // Held back while the main app is in front; clears still go.
    helper.startMonitoring("{\"appPID\": 300}");
    helper.forget();
    helper.sim.workspace.frontmost = RunningApplication{Harness::kMainApp, std::nullopt};
    helper.service().publishSelectionChanged("from the main app", Rect{1, 2, 3, 4});
    helper.service().publishSelectionCleared();
    EXPECT_TRUE(helper.events("com.corvala.app.selectionChanged").empty());
    EXPECT_EQ(helper.diagnostics().back(), "选区跳过:前台应用是主应用 frontPID=300");
    EXPECT_EQ(helper.events("com.corvala.app.selectionCleared").size(), 1u);
    helper.sim.workspace.frontmost.reset();
    helper.service().publishSelectionChanged("no front app", Rect{1, 2, 3, 4});
    helper.startMonitoring("{\"appPID\": 0}");  // unset: it is no process, nor an unknown one
    helper.sim.workspace.frontmost = RunningApplication{0, std::nullopt};
    helper.service().publishSelectionChanged("unknown front app", Rect{1, 2, 3, 4});
    EXPECT_EQ(helper.events("com.corvala.app.selectionChanged").size(), 2u);

    // Termination stops the observer before the exit line.
    std::weak_ptr<SelectionObserver> observer = helper.service().selectionObserver();
    helper.forget();
    helper.sim.application.terminate();
    EXPECT_TRUE(observer.expired());
    EXPECT_EQ(helper.sim.console.lines,
              (Lines{"[SelectionObserver][INFO] SelectionObserver stopped",
                     "[Glimwick] 辅助进程已退出"}));
    EXPECT_EQ(helper.sim.queue.repeatingCount(), 0u);
}

TEST_F(Monitoring, TrustVerificationTwoSecondsAfterEachStart) {
    helper.selectInTextApp("选区文本 with emoji 👍🏽 and more text after it",
                           Rect{10, 10, 100, 12});
    helper.startMonitoring();
    helper.forget();
    helper.advance(1.99);
    EXPECT_TRUE(helper.diagnostics("AX验证").empty());
    helper.advance(0.01);
    EXPECT_EQ(helper.diagnostics("AX验证"),
              Lines{"🔍AX验证: ✅TextEdit(pid=100) | NSWorkspace前台=TextEdit(pid=100) | "
                    "selectedText=0 text=选区文本 with emoji 👍🏽 an"});

    auto& desktop = helper.sim.desktop;
    auto verify = [&] {
        helper.service().verifyAccessibilityTrust();
        return helper.diagnostics("AX验证").back();
    };
    desktop.focusedApplicationAnswer = ax::Answer{ax::kAXErrorCannotComplete, std::nullopt};
    desktop.focusedElementAnswer = ax::Answer{ax::kAXErrorNoValue, std::nullopt};
    helper.sim.workspace.frontmost.reset();
    EXPECT_EQ(verify(),
              "🔍AX验证: axError=-25204 | NSWorkspace前台=nil(pid=0) | focusedElement=-25212");
    desktop.focusedApplicationAnswer = ax::Answer{0, helper.textA};
    desktop.set(helper.textA, "AXTitle", {0, ax::OtherValue{}});
    desktop.focusedElementAnswer.reset();
    desktop.set(helper.textA, "AXSelectedText", {ax::kAXErrorNoValue, std::nullopt});
    helper.sim.workspace.frontmost = RunningApplication{55, std::nullopt};
    EXPECT_EQ(verify(),
              "🔍AX验证: ✅?(pid=100) | NSWorkspace前台=nil(pid=55) | selectedText=-25212 text=nil");

    // A transient API-disabled answer while trusted keeps monitoring.
    desktop.focusedElementAnswer = ax::Answer{ax::kAXErrorAPIDisabled, std::nullopt};
    helper.sim.workspace.frontmost = RunningApplication{Harness::kMainApp, std::nullopt};
    EXPECT_EQ(verify(),
              "ℹ️AX验证命中主应用前台瞬时 false negative，保持已授权状态");
    helper.sim.workspace.frontmost = RunningApplication{0, std::nullopt};  // not an unset pid
    EXPECT_EQ(verify(),
              "ℹ️AX验证出现瞬时 apiDisabled，但 trusted=true，保持已授权状态");
    EXPECT_TRUE(helper.service().isMonitoring());
    EXPECT_TRUE(helper.events("com.corvala.app.permissionStatus").empty());

    // Lost trust stops monitoring and reports all false (the probe itself succeeded).
    desktop.trusted = false;
    desktop.focusedElementAnswer.reset();
    EXPECT_EQ(
        verify(),
        "⚠️AX验证发现 trusted=false，判定辅助功能权限已失效，停止监听");
    const json lost = {{"granted", false},
                       {"axTrusted", false},
                       {"axDirect", false},
                       {"axErrorCode", 0},
                       {"bundlePath", "/opt/Glimwick"},
                       {"execPath", "/opt/Glimwick/glimwick"},
                       {"pid", 4242}};
    EXPECT_EQ(helper.events("com.corvala.app.permissionStatus"), std::vector<json>{lost});
    EXPECT_FALSE(helper.service().isMonitoring());
    EXPECT_FALSE(helper.service().selectionObserver()->isRunning());
}

TEST_F(Monitoring, CopiesShutDownOnlyWhenOutdatedOrRedundant) {
    struct Case {
        const char* command;
        std::optional<json> object;  // none: no object at all
        const char* diagnostic;      // empty: none
        bool exits;
    };
    const char* kBadMismatch = "⚠️ 收到 shutdownIfMismatch 但参数无效";
    const char* kBadRedundant = "⚠️ 收到 shutdownRedundant 但参数无效";
    const json kOwn = "/opt/Glimwick";
    for (const Case& c : std::vector<Case>{
             {"shutdownIfMismatch", json{{"expectedBundlePath", kOwn}, {"other", 1}},
              "✅ 收到 shutdownIfMismatch，但当前已是目标 Helper，继续运行", false},
             {"shutdownIfMismatch", json{{"expectedBundlePath", 12}}, kBadMismatch, false},
             {"shutdownIfMismatch", std::nullopt, kBadMismatch, false},
             {"shutdownRedundant", json{{"expectedBundlePath", "/other"}, {"keepPID", 1}}, "",
              false},
             {"shutdownRedundant", json{{"expectedBundlePath", "/other"}}, kBadRedundant, false},
             {"shutdownRedundant", json{{"expectedBundlePath", kOwn}, {"keepPID", "123"}},
              kBadRedundant, false},
             {"shutdownRedundant", json{{"expectedBundlePath", 5}, {"keepPID", 1}}, kBadRedundant,
              false},
             {"shutdownRedundant", json{{"expectedBundlePath", kOwn}, {"keepPID", 4242.0}},
              "✅ 收到 shutdownRedundant，但当前是保留实例 PID=4242", false},
             {"shutdownRedundant", json{{"expectedBundlePath", kOwn}, {"keepPID", 0}},
              "🛑 检测到同路径重复 Helper，准备自行退出: pid=4242 keepPID=0",
              true},
             {"shutdownIfMismatch", json{{"expectedBundlePath", "/opt/Glimwick/"}},
              "🛑 检测到旧 Helper，准备自行退出: /opt/Glimwick -> /opt/Glimwick/",
              true},
         }) {
        Harness helper;
        helper.launch();
        helper.advance(1);
        helper.selectInTextApp("hello", Rect{1, 1, 10, 10});
        helper.startMonitoring();
        helper.forget();
        std::string name = std::string("com.corvala.helper.") + c.command;
        if (c.object) {
            helper.send(name, c.object->dump());
            helper.send(name, c.object->dump());  // a second decision to exit changes nothing
        } else {
            helper.send(name);
        }
        std::string label = c.object ? c.object->dump() : "none";
        EXPECT_EQ(helper.diagnostics().empty() ? "" : helper.diagnostics().front(), c.diagnostic)
            << label;
        EXPECT_EQ(helper.service().isMonitoring(), !c.exits) << label;
        helper.advance(0.05);  // still answering for 0.1 s
        helper.send("com.corvala.helper.ping");
        EXPECT_EQ(helper.events("com.corvala.app.pong"), std::vector<json>{kIdentity}) << label;
        helper.advance(1);
        EXPECT_EQ(helper.sim.application.isTerminated(), c.exits) << label;
        EXPECT_EQ(helper.lines("辅助进程已退出").size(), c.exits ? 1u : 0u) << label;
    }
    helper.sim.process.bundle = "/opt/Caf\xc3\xa9";  // the same path as the one expected
    helper.send("com.corvala.helper.shutdownIfMismatch",
                json{{"expectedBundlePath", "/opt/Cafe\xcc\x81"}}.dump());
    helper.advance(1);
    EXPECT_FALSE(helper.sim.application.isTerminated());
}

}  // namespace
}  // namespace glimwick::sim
