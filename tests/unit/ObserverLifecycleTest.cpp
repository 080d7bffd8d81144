// The observer's run state, focus tracking, binding, polling and debounce on the virtual clock.

#include <gtest/gtest.h>

#include "ObserverHarness.h"

namespace glimwick::sim {
namespace {

using Harness = ObserverHarness;

class ObserverLifecycle : public ::testing::Test {
protected:
    ObserverLifecycle() {
        h.focus(h.textA, Harness::kAppA);
        h.select(h.textA, "selected in A", Rect{10, 10, 80, 14});
    }
    SelectionObserver& observer() { return *h.observer; }
    void advance(double seconds) { h.sim.queue.advance(seconds); }

    ObserverHarness h;
};

TEST_F(ObserverLifecycle, StartAndStopAreIdempotent) {
    observer().start();
    observer().start();
    EXPECT_EQ(h.linesContaining("SelectionObserver started").size(), 1u);
    EXPECT_EQ(h.sim.queue.repeatingCount(), 1u);

    observer().stop();
    observer().stop();
    EXPECT_EQ(h.linesContaining("SelectionObserver stopped").size(), 1u);
    EXPECT_EQ(h.sim.queue.repeatingCount(), 0u);
    EXPECT_FALSE(observer().hasObserver());
    EXPECT_FALSE(h.sim.desktop.hasInstalledObserver(Harness::kAppA));
    EXPECT_EQ(h.sim.console.lines.front(), "[SelectionObserver][INFO] SelectionObserver started");
}

TEST_F(ObserverLifecycle, BindsAtOnceAndTicksEveryFourTenths) {
    observer().start();
    EXPECT_TRUE(observer().hasObserver());
    EXPECT_EQ(observer().observedAppPID(), Harness::kAppA);
    EXPECT_TRUE(h.sim.desktop.hasInstalledObserver(Harness::kAppA));
    EXPECT_EQ(h.linesContaining("pid=100"),
              (std::vector<std::string>{
                  "[SelectionObserver][INFO] Binding observer to focused app pid=100",
                  "[SelectionObserver][INFO] Observer bound to pid=100, subscribed=1/1"}));
    EXPECT_EQ(observer().pollCount(), 0);
    EXPECT_TRUE(h.changes.empty());

    advance(0.39);
    EXPECT_EQ(observer().pollCount(), 0);
    advance(0.01);
    EXPECT_EQ(observer().pollCount(), 1);
    EXPECT_EQ(h.changes.size(), 1u);
    EXPECT_EQ(h.linesContaining("轮询心跳"),
              std::vector<std::string>{"[SelectionObserver][INFO] 轮询心跳 #1: focusedPID=100 "
                                       "observedPID=100 hasObserver=true pollOnlyPID=0"});

    advance(0.4 * 25);
    EXPECT_EQ(observer().pollCount(), 26);
    EXPECT_EQ(h.linesContaining("轮询心跳").size(), 2u);
    EXPECT_NE(h.linesContaining("轮询心跳").back().find("#26:"), std::string::npos);
    EXPECT_EQ(h.readings(), 26u);  // every counted tick reads
}

TEST_F(ObserverLifecycle, OwnProcessOrNoFocusChangesNothing) {
    h.sim.workspace.frontmost = RunningApplication{Harness::kOwner, std::nullopt};
    observer().start();
    advance(2.0);
    EXPECT_FALSE(observer().hasObserver());
    EXPECT_EQ(observer().pollCount(), 0);
    EXPECT_EQ(h.readings(), 0u);

    // With no frontmost application the focused application comes from the AX tree; here none.
    h.sim.workspace.frontmost.reset();
    h.sim.desktop.clearFocus();
    advance(0.4);
    EXPECT_EQ(observer().pollCount(), 0);
    EXPECT_EQ(h.clears, 0);
    // A tick makes two lookups, each failing one logged.
    EXPECT_EQ(h.linesContaining("Failed to get focused app PID via AX API: -25212").size(), 2u);
}

TEST_F(ObserverLifecycle, FocusedApplicationFromTheTreeWhenTheWorkspaceHasNone) {
    h.sim.workspace.frontmost.reset();
    observer().start();
    EXPECT_EQ(observer().observedAppPID(), Harness::kAppA);
}

TEST_F(ObserverLifecycle, SwitchingApplicationsClearsOnceAndRebinds) {
    observer().start();
    advance(0.4);
    h.focus(h.textB, Harness::kAppB);
    advance(0.4);
    EXPECT_EQ(h.clears, 1);
    EXPECT_EQ(observer().lastClearReason(), "focus_pid_changed");
    EXPECT_EQ(observer().observedAppPID(), Harness::kAppB);
    EXPECT_FALSE(h.sim.desktop.hasInstalledObserver(Harness::kAppA));
    EXPECT_TRUE(h.sim.desktop.hasInstalledObserver(Harness::kAppB));
    EXPECT_EQ(h.sim.desktop.liveObserverCount(), 1u);
    EXPECT_EQ(h.sim.desktop.countOf("remove", "AXSelectedTextChanged"), 1u);
    EXPECT_EQ(h.linesContaining("Binding observer to focused app pid=200").size(), 1u);
}

TEST_F(ObserverLifecycle, AThrottledRebindStillClearsAtOnce) {
    observer().start();  // rebind attempt at t0
    h.focus(h.textB, Harness::kAppB);
    observer().checkFocusChange();  // at t0: inside 0.35 s
    EXPECT_EQ(h.clears, 1);
    EXPECT_EQ(observer().observedAppPID(), Harness::kAppA);
    advance(0.3);
    observer().checkFocusChange();
    EXPECT_EQ(observer().observedAppPID(), Harness::kAppA);
    EXPECT_EQ(h.clears, 1);  // the repeated reason is suppressed
    advance(0.1);            // the tick at 0.4 s rebinds
    EXPECT_EQ(observer().observedAppPID(), Harness::kAppB);
    EXPECT_DOUBLE_EQ(observer().lastRebindTime(), h.sim.queue.now());
}

TEST_F(ObserverLifecycle, AlreadyRegisteredCountsAsSubscribed) {
    h.sim.desktop.subscriptionResult[Harness::kAppA] = ax::kAXErrorNotificationAlreadyRegistered;
    observer().start();
    EXPECT_TRUE(observer().hasObserver());
    EXPECT_EQ(observer().pollOnlyPID(), 0);
}

TEST_F(ObserverLifecycle, ARefusedSubscriptionFallsBackToPollingUntilTheFocusReturns) {
    h.sim.desktop.subscriptionResult[Harness::kAppA] = ax::kAXErrorNotificationUnsupported;
    observer().start();
    EXPECT_FALSE(observer().hasObserver());
    EXPECT_EQ(observer().pollOnlyPID(), Harness::kAppA);
    EXPECT_EQ(
        h.linesContaining("WARN"),
        (std::vector<std::string>{
            "[SelectionObserver][WARN] Failed to add notification AXSelectedTextChanged: -25207",
            "[SelectionObserver][WARN] Notifications unsupported for pid=100, falling back to "
            "polling"}));
    EXPECT_EQ(h.sim.desktop.liveObserverCount(), 0u);

    advance(2.0);  // polled, not re-bound
    EXPECT_EQ(h.sim.desktop.countOf("createObserver", "100"), 1u);
    EXPECT_EQ(observer().pollCount(), 5);
    EXPECT_EQ(h.changes.size(), 1u);
    EXPECT_NE(h.linesContaining("轮询心跳 #1").front().find("hasObserver=false pollOnlyPID=100"),
              std::string::npos);

    h.focus(h.textB, Harness::kAppB);
    advance(0.4);
    EXPECT_EQ(observer().pollOnlyPID(), 0);
    EXPECT_EQ(observer().observedAppPID(), Harness::kAppB);
    EXPECT_EQ(h.clears, 1);
    h.focus(h.textA, Harness::kAppA);
    advance(0.4);
    EXPECT_EQ(h.sim.desktop.countOf("createObserver", "100"), 2u);
    EXPECT_EQ(observer().pollOnlyPID(), Harness::kAppA);
}

TEST_F(ObserverLifecycle, AFailedObserverCreationIsRetriedOnLaterTicks) {
    h.sim.desktop.observerCreationError[Harness::kAppA] = ax::kAXErrorCannotComplete;
    observer().start();
    EXPECT_EQ(h.linesContaining("ERROR"),
              std::vector<std::string>{
                  "[SelectionObserver][ERROR] Failed to create AXObserver for pid=100: -25204"});
    advance(1.2);
    EXPECT_EQ(h.sim.desktop.countOf("createObserver", "100"), 4u);
    EXPECT_EQ(observer().pollOnlyPID(), 0);
    h.sim.desktop.observerCreationError.clear();
    advance(0.4);
    EXPECT_TRUE(observer().hasObserver());
}

TEST_F(ObserverLifecycle, AFocusRaceSkipsTheBind) {
    observer().bindObserver(Harness::kAppA);  // not running: nothing at all
    EXPECT_TRUE(h.sim.console.lines.empty());

    observer().start();
    observer().unbindObserver();
    // The focus has moved to B by the time the bind for A asks again.
    h.sim.workspace.frontmost = RunningApplication{Harness::kAppB, std::nullopt};
    observer().bindObserver(Harness::kAppA);
    EXPECT_EQ(
        h.linesContaining("Focus changed before observer creation").back(),
        "[SelectionObserver][DEBUG] Focus changed before observer creation, skipping pid=100");
    EXPECT_FALSE(observer().hasObserver());
    observer().bindObserver(Harness::kOwner);
    EXPECT_EQ(h.linesContaining("skipping pid=4242").size(), 1u);
    EXPECT_EQ(h.sim.desktop.countOf("createObserver", "100"), 1u);  // only the one from start
}

TEST_F(ObserverLifecycle, NotificationsAreDebouncedIntoOneCheck) {
    observer().start();
    // Keep the timer path out of the count: our own process in front makes ticks skip.
    h.sim.workspace.frontmost = RunningApplication{Harness::kOwner, std::nullopt};
    size_t before = h.readings();
    for (int i = 0; i < 5; ++i) {
        h.sim.desktop.fire(Harness::kAppA, "AXSelectedTextChanged");
        advance(0.05);
    }
    EXPECT_EQ(h.readings(), before);
    advance(0.149);
    EXPECT_EQ(h.readings(), before);
    advance(0.001);  // 0.2 s after the fifth
    EXPECT_EQ(h.readings(), before + 1);
    EXPECT_EQ(h.changes.size(), 1u);
    advance(1.0);
    EXPECT_EQ(h.readings(), before + 1);
}

TEST_F(ObserverLifecycle, StopCancelsAPendingCheckAndLateNotificationsAreIgnored) {
    observer().start();
    h.sim.workspace.frontmost = RunningApplication{Harness::kOwner, std::nullopt};
    h.sim.desktop.fire(Harness::kAppA, "AXSelectedTextChanged");
    advance(0.1);
    ASSERT_TRUE(observer().hasDebounceWorkItem());
    size_t before = h.readings();
    observer().stop();
    EXPECT_FALSE(observer().hasDebounceWorkItem());
    observer().handleAXNotification("AXSelectedTextChanged");
    advance(1.0);
    EXPECT_EQ(h.readings(), before);
    EXPECT_EQ(h.sim.queue.pendingCount(), 0u);
}

TEST_F(ObserverLifecycle, RestartKeepsCountsAndThePollOnlyProcess) {
    h.sim.desktop.subscriptionResult[Harness::kAppA] = ax::kAXErrorFailure;
    observer().start();
    advance(0.8);
    observer().stop();
    observer().start();
    EXPECT_EQ(observer().pollOnlyPID(), Harness::kAppA);
    EXPECT_EQ(h.sim.desktop.countOf("createObserver", "100"), 1u);
    advance(0.4);
    EXPECT_EQ(observer().pollCount(), 3);
    EXPECT_TRUE(h.linesContaining("轮询心跳 #3").empty());  // no restart at #1
    EXPECT_EQ(h.linesContaining("轮询心跳").size(), 1u);
}

TEST_F(ObserverLifecycle, DestroyedWithANotificationQueuedNothingRuns) {
    observer().start();
    h.sim.desktop.fire(Harness::kAppA, "AXSelectedTextChanged");  // queues a block
    ASSERT_EQ(h.sim.queue.pendingDelays().count(0.0), 1u);
    h.observer.reset();
    EXPECT_EQ(h.sim.desktop.liveObserverCount(), 0u);
    EXPECT_EQ(h.linesContaining("SelectionObserver stopped").size(), 1u);
    size_t before = h.readings();
    h.sim.queue.advance(1.0);
    EXPECT_EQ(h.readings(), before);
    EXPECT_EQ(h.sim.queue.pendingCount(), 0u);
}

}  // namespace
}  // namespace glimwick::sim
