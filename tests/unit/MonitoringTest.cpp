// Starting and stopping monitoring, and publishing what the observer finds.

#include <gtest/gtest.h>

#include "HelperHarness.h"
#include "observer/SelectionObserver.h"

namespace glimwick::sim {
namespace {

using nlohmann::json;

class Monitoring : public ::testing::Test {
protected:
    Monitoring() {
        helper.launch();
        helper.advance(1);  // past the start-up check
        helper.selectInTextApp("hello world", Rect{10, 20, 100, 12});
        helper.forget();
    }
    std::vector<std::string> observerLines() const {
        std::vector<std::string> lines;
        for (const auto& line : helper.sim.console.lines) {
            if (line.find("SelectionObserver started") != std::string::npos ||
                line.find("SelectionObserver stopped") != std::string::npos) {
                lines.push_back(line);
            }
        }
        return lines;
    }
    size_t verifications() const {
        size_t n = 0;
        for (const auto& context : helper.diagnostics()) {
            n += context.rfind("🔍AX验证", 0) == 0 ? 1 : 0;
        }
        return n;
    }

    HelperHarness helper;
};

TEST_F(Monitoring, StartWhenGrantedCreatesAndStartsTheObserver) {
    helper.startMonitoring("{\"appPID\": 300, \"other\": true}");
    EXPECT_TRUE(helper.service().isMonitoring());
    EXPECT_EQ(helper.service().mainAppPID(), 300);
    auto observer = helper.service().selectionObserver();
    ASSERT_TRUE(observer);
    EXPECT_TRUE(observer->isRunning());
    EXPECT_EQ(observer->ownerPID, 4242);  // the helper itself, not the main app

    auto diagnostics = helper.diagnostics();
    ASSERT_GE(diagnostics.size(), 3u);
    EXPECT_EQ(diagnostics[0],
              "startMonitoring权限检查: axTrusted=true axDirect=true granted=true axError=0");
    EXPECT_EQ(diagnostics[1], "Observer: SelectionObserver started");
    EXPECT_EQ(diagnostics.back(), "✅监听已启动 mainAppPID=300 helperPID=4242");

    helper.advance(1.99);
    EXPECT_EQ(verifications(), 0u);
    helper.advance(0.01);
    EXPECT_EQ(verifications(), 1u);
}

TEST_F(Monitoring, DirectAccessAloneIsEnough) {
    helper.sim.desktop.trusted = false;
    helper.sim.desktop.clearFocus();  // probe answers -25212
    helper.startMonitoring();
    EXPECT_EQ(helper.diagnostics()[0],
              "startMonitoring权限检查: axTrusted=false axDirect=true granted=true axError=-25212");
    EXPECT_TRUE(helper.service().isMonitoring());
}

TEST_F(Monitoring, StartWithoutAccessIsRefusedWithAStatus) {
    helper.sim.desktop.trusted = false;
    helper.sim.desktop.focusedElementAnswer = ax::Answer{ax::kAXErrorAPIDisabled, std::nullopt};
    helper.startMonitoring();
    EXPECT_EQ(
        helper.diagnostics(),
        (std::vector<std::string>{
            "startMonitoring权限检查: axTrusted=false axDirect=false granted=false axError=-25211",
            "startMonitoring失败:无权限 axTrusted=false axDirect=false granted=false "
            "axError=-25211"}));
    EXPECT_EQ(helper.events("com.corvala.app.permissionStatus").size(), 1u);
    EXPECT_FALSE(helper.service().isMonitoring());
    EXPECT_FALSE(helper.service().selectionObserver());
    helper.advance(3);
    EXPECT_EQ(verifications(), 0u);
    EXPECT_EQ(helper.service().mainAppPID(), 300);  // recorded all the same
}

TEST_F(Monitoring, StartWhileOnRestartsTheObserverWithoutACheck) {
    helper.startMonitoring();
    helper.advance(1);
    helper.forget();
    helper.startMonitoring();
    EXPECT_EQ(helper.diagnostics().front(), "startMonitoring:已在监听中，重新验证...");
    EXPECT_EQ(observerLines(),
              (std::vector<std::string>{"[SelectionObserver][INFO] SelectionObserver stopped",
                                        "[SelectionObserver][INFO] SelectionObserver started"}));
    for (const auto& context : helper.diagnostics()) {
        EXPECT_EQ(context.find("权限检查"), std::string::npos);
    }
    EXPECT_TRUE(helper.events("com.corvala.app.permissionStatus").empty());
    // Two starts within two seconds: two verifications.
    helper.advance(1);
    EXPECT_EQ(verifications(), 1u);
    helper.advance(1);
    EXPECT_EQ(verifications(), 2u);
}

TEST_F(Monitoring, AppPIDIsKeptUnlessTheNewOneIsAUsableWholeNumber) {
    helper.startMonitoring("{\"appPID\": 300}");
    for (const char* object :
         {"{}", "{\"appPID\": \"301\"}", "{\"appPID\": 301.5}", "{\"appPID\": true}",
          "{\"appPID\": 2147483648}", "[301]", "301", "{\"appPID\": 1e400}", "not json"}) {
        helper.startMonitoring(object);
        EXPECT_EQ(helper.service().mainAppPID(), 300) << object;
    }
    helper.send("com.corvala.helper.startMonitoring");
    helper.send("com.corvala.helper.startMonitoring", NonStringObject{});
    EXPECT_EQ(helper.service().mainAppPID(), 300);
    helper.startMonitoring("{\"appPID\": 301.0}");
    EXPECT_EQ(helper.service().mainAppPID(), 301);
    helper.startMonitoring("{\"appPID\": -2147483648}");
    EXPECT_EQ(helper.service().mainAppPID(), -2147483648);
}

TEST_F(Monitoring, StopKeepsTheObserverForTheNextStart) {
    helper.send("com.corvala.helper.stopMonitoring");
    EXPECT_TRUE(helper.sim.center.posts.empty());  // stop while off: nothing

    helper.startMonitoring();
    auto first = helper.service().selectionObserver();
    helper.forget();
    helper.send("com.corvala.helper.stopMonitoring", std::string("ignored"));
    EXPECT_FALSE(helper.service().isMonitoring());
    EXPECT_EQ(helper.diagnostics(), (std::vector<std::string>{"Observer: SelectionObserver stopped",
                                                              "🛑监听已停止"}));
    EXPECT_EQ(helper.service().selectionObserver(), first);
    EXPECT_FALSE(first->isRunning());

    helper.startMonitoring("{}");
    EXPECT_EQ(helper.service().selectionObserver(), first);
    EXPECT_TRUE(first->isRunning());
    EXPECT_EQ(helper.service().mainAppPID(), 300);
}

TEST_F(Monitoring, ASelectionReachesTheMainAppWithTheSevenKeys) {
    helper.startMonitoring("{\"appPID\": 0}");
    helper.advance(0.4);
    auto changed = helper.events("com.corvala.app.selectionChanged");
    ASSERT_EQ(changed.size(), 1u);
    EXPECT_EQ(changed[0], (json{{"text", "hello world"},
                                {"x", 10.0},
                                {"y", 20.0},
                                {"w", 100.0},
                                {"h", 12.0},
                                {"bundlePath", "/opt/Glimwick"},
                                {"pid", 4242}}));
    EXPECT_TRUE(changed[0]["x"].is_number());
    EXPECT_EQ(helper.diagnostics().back(), "📝选区检测到: hello world... rect=(10,20,100,12)");

    // Deselecting: two empty readings, one clear with the identity payload.
    helper.sim.desktop.set(helper.textArea, "AXSelectedText", {0, std::string()});
    helper.sim.desktop.unset(helper.textArea, "AXSelectedTextRange");
    helper.advance(2.0);
    auto cleared = helper.events("com.corvala.app.selectionCleared");
    ASSERT_EQ(cleared.size(), 1u);
    EXPECT_EQ(cleared[0], (json{{"bundlePath", "/opt/Glimwick"}, {"pid", 4242}}));
}

TEST_F(Monitoring, HeldBackWhileTheMainAppIsInFrontButClearsStillGo) {
    helper.startMonitoring("{\"appPID\": 300}");
    helper.sim.workspace.frontmost = RunningApplication{HelperHarness::kMainApp, std::nullopt};
    helper.service().publishSelectionChanged("from the main app", Rect{1, 2, 3, 4});
    EXPECT_TRUE(helper.events("com.corvala.app.selectionChanged").empty());
    EXPECT_EQ(helper.diagnostics().back(), "选区跳过:前台应用是主应用 frontPID=300");
    helper.service().publishSelectionCleared();
    EXPECT_EQ(helper.events("com.corvala.app.selectionCleared").size(), 1u);

    helper.sim.workspace.frontmost.reset();
    helper.service().publishSelectionChanged("no front app", Rect{1, 2, 3, 4});
    EXPECT_EQ(helper.events("com.corvala.app.selectionChanged").size(), 1u);
}

TEST_F(Monitoring, TheDiagnosticCutsTheTextButThePayloadDoesNot) {
    std::string text;
    for (int i = 0; i < 50; ++i) {
        text += "选区文本abcdef";  // 10 characters, 18 bytes
    }
    helper.service().publishSelectionChanged(text, Rect{-120.7, 5.9, -40.2, 20.99});
    EXPECT_EQ(helper.diagnostics().back(),
              "📝选区检测到: 选区文本abcdef选区文本abcdef选区文本abcdef... rect=(-120,5,40,20)");
    auto changed = helper.events("com.corvala.app.selectionChanged").back();
    EXPECT_EQ(changed["text"], text);
    EXPECT_DOUBLE_EQ(changed["w"].get<double>(), 40.2);
}

TEST_F(Monitoring, TheFallbackRectangleIsPublishedAsRead) {
    helper.sim.workspace.pointer = Point{812.6, 400.2};
    helper.sim.desktop.setSelection(helper.textArea, "under the pointer", ax::Range{0, 17},
                                    Rect{0, 0, 0, 0});
    helper.startMonitoring("{}");
    helper.advance(0.4);
    auto changed = helper.events("com.corvala.app.selectionChanged");
    ASSERT_EQ(changed.size(), 1u);
    EXPECT_DOUBLE_EQ(changed[0]["x"].get<double>(), 792.6);
    EXPECT_DOUBLE_EQ(changed[0]["y"].get<double>(), 390.2);
    EXPECT_EQ(changed[0]["w"], 40.0);
    EXPECT_EQ(changed[0]["h"], 20.0);
    EXPECT_EQ(helper.diagnostics().back(),
              "📝选区检测到: under the pointer... rect=(792,390,40,20)");
}

TEST_F(Monitoring, TextThatCannotBeEncodedIsReportedNotPosted) {
    helper.service().publishSelectionChanged("bad \xff text", Rect{1, 2, 3, 4});
    EXPECT_TRUE(helper.events("com.corvala.app.selectionChanged").empty());
    EXPECT_EQ(helper.diagnostics().back(), "❌选区JSON序列化失败");
}

TEST_F(Monitoring, TerminationWhileMonitoringStopsTheObserverBeforeTheExitLine) {
    helper.startMonitoring();
    std::weak_ptr<SelectionObserver> observer = helper.service().selectionObserver();
    helper.forget();
    helper.sim.application.terminate();
    EXPECT_TRUE(observer.expired());
    EXPECT_FALSE(helper.service().isMonitoring());
    EXPECT_TRUE(helper.sim.center.liveTokens().empty());
    EXPECT_EQ(helper.sim.console.lines,
              (std::vector<std::string>{"[SelectionObserver][INFO] SelectionObserver stopped",
                                        "[Glimwick] 辅助进程已退出"}));
    EXPECT_EQ(helper.sim.queue.repeatingCount(), 0u);
}

TEST_F(Monitoring, CallbacksAfterTheServiceIsGoneDoNothing) {
    helper.startMonitoring();
    auto observer = helper.service().selectionObserver();  // outlives the service
    helper.sim.application.setDelegate(nullptr);
    helper.delegate.reset();
    helper.forget();
    helper.sim.desktop.setSelection(helper.textArea, "after the service", ax::Range{0, 1},
                                    Rect{5, 5, 50, 10});
    helper.advance(3);
    // The observer still found the selection; nobody published it.
    EXPECT_EQ(
        std::count(
            helper.sim.console.lines.begin(), helper.sim.console.lines.end(),
            "[SelectionObserver][INFO] Selection validated: after the service... at (30, 10)"),
        1);
    EXPECT_TRUE(helper.events("com.corvala.app.selectionChanged").empty());
}

}  // namespace
}  // namespace glimwick::sim
