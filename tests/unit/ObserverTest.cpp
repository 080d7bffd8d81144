// The selection observer on the virtual clock: run state, binding, polling, debounce, reading
// and turning readings into events.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "Harness.h"
#include "diagnostics/Messages.h"

namespace glimwick::sim {
namespace {

using ax::Answer;
using ax::AXValue;
using Lines = std::vector<std::string>;

class Observer : public ::testing::Test {
protected:
    Observer() {
        h.focus(h.textA, Harness::kAppA);
        h.select(h.textA, "selected in A", Rect{10, 10, 80, 14});
    }
    void advance(double seconds) { h.advance(seconds); }
    std::multiset<Pid> installed() const { return h.sim.desktop.installedObservers(); }
    void evaluate(const std::string& text, Rect bounds) {
        h.select(h.textA, text, bounds);
        o.evaluateSelection();
    }
    void evaluateEmpty() {
        h.deselect(h.textA);
        o.evaluateSelection();
    }

    Harness h;
    SelectionObserver& o = h.observe();
};

TEST_F(Observer, StartsBindsTicksRebindsAndStops) {
    o.start();
    o.start();
    EXPECT_EQ(h.lines(msg::kObserverStarted).size(), 1u);
    EXPECT_EQ(h.sim.queue.repeatingCount(), 1u);
    EXPECT_EQ(h.lines(msg::observerBound(100, 1, 1)).size(), 1u);
    EXPECT_EQ(installed(), std::multiset<Pid>{Harness::kAppA});

    advance(0.39);
    EXPECT_EQ(h.readings(), 0u);
    advance(0.01);
    EXPECT_EQ(h.changes.size(), 1u);
    EXPECT_EQ(h.lines("轮询心跳"),
              Lines{msg::consoleLine("INFO", msg::heartbeat(1, 100, 100, true, 0))});
    advance(0.4 * 25);
    EXPECT_EQ(h.readings(), 26u);  // every counted tick reads
    ASSERT_EQ(h.lines("轮询心跳").size(), 2u);
    EXPECT_NE(h.lines("轮询心跳").back().find("#26:"), std::string::npos);

    h.focus(h.textB, Harness::kAppB);
    advance(0.4);
    EXPECT_EQ(h.clears, 1);
    EXPECT_EQ(h.lines("Selection cleared"),
              Lines{msg::consoleLine("DEBUG", msg::selectionCleared("focus_pid_changed"))});
    EXPECT_EQ(installed(), std::multiset<Pid>{Harness::kAppB});
    EXPECT_EQ(h.sim.desktop.count("remove AXSelectedTextChanged"), 1u);

    o.stop();
    o.stop();
    EXPECT_EQ(h.lines(msg::kObserverStopped).size(), 1u);
    EXPECT_EQ(h.sim.queue.repeatingCount(), 0u);
    EXPECT_TRUE(installed().empty());
}

TEST_F(Observer, OwnProcessOrNoFocusReadsNothing) {
    h.sim.workspace.frontmost = RunningApplication{Harness::kOwner, std::nullopt};
    o.start();
    advance(2.0);
    EXPECT_TRUE(installed().empty());
    EXPECT_EQ(h.readings(), 0u);
    // With no frontmost application the focused application comes from the tree; here none.
    h.sim.workspace.frontmost.reset();
    h.sim.desktop.focus(nullptr);
    advance(0.4);
    EXPECT_EQ(h.readings(), 0u);
    EXPECT_EQ(h.clears, 0);
    EXPECT_EQ(h.lines("Failed to get focused app PID via AX API: -25212").size(), 2u);
    // The tree alone is enough.
    h.sim.desktop.focus(h.textA);
    advance(0.4);
    EXPECT_EQ(installed(), std::multiset<Pid>{Harness::kAppA});
}

TEST_F(Observer, AThrottledRebindStillClearsAtOnce) {
    o.start();
    h.focus(h.textB, Harness::kAppB);
    o.checkFocusChange();  // inside 0.35 s of the start's bind
    EXPECT_EQ(h.clears, 1);
    advance(0.3);
    o.checkFocusChange();
    EXPECT_EQ(installed(), std::multiset<Pid>{Harness::kAppA});
    EXPECT_EQ(h.clears, 1);  // the repeated reason is suppressed
    advance(0.1);            // the tick at 0.4 s rebinds
    EXPECT_EQ(installed(), std::multiset<Pid>{Harness::kAppB});
}

TEST_F(Observer, RefusedSubscriptionsPollAndFailedCreationsRetry) {
    h.sim.desktop.subscriptionResult[Harness::kAppB] = ax::kAXErrorNotificationAlreadyRegistered;
    h.sim.desktop.subscriptionResult[Harness::kAppA] = ax::kAXErrorNotificationUnsupported;
    o.start();
    EXPECT_EQ(h.lines(msg::addNotificationFailed("AXSelectedTextChanged", -25207)).size(), 1u);
    EXPECT_EQ(h.lines(msg::notificationsUnsupported(100)).size(), 1u);
    EXPECT_TRUE(installed().empty());
    advance(2.0);  // polled, not bound again
    EXPECT_EQ(h.sim.desktop.count("createObserver 100"), 1u);
    EXPECT_EQ(h.readings(), 5u);
    EXPECT_EQ(h.lines(msg::heartbeat(1, 100, 0, false, 100)).size(), 1u);

    o.stop();  // a restart keeps the poll-only process and the tick count
    o.start();
    advance(0.4);
    EXPECT_EQ(h.sim.desktop.count("createObserver 100"), 1u);
    EXPECT_EQ(h.lines("轮询心跳").size(), 1u);

    h.focus(h.textB, Harness::kAppB);  // already registered counts as subscribed
    advance(0.4);
    EXPECT_EQ(installed(), std::multiset<Pid>{Harness::kAppB});
    h.focus(h.textA, Harness::kAppA);  // back: asked again
    advance(0.4);
    EXPECT_EQ(h.sim.desktop.count("createObserver 100"), 2u);

    h.sim.desktop.observerCreationError[Harness::kAppB] = ax::kAXErrorCannotComplete;
    h.focus(h.textB, Harness::kAppB);
    advance(1.2);
    EXPECT_FALSE(h.lines(msg::observerCreateFailed(200, -25204)).empty());
    EXPECT_EQ(h.sim.desktop.count("createObserver 200"), 4u);  // the first, and every tick
    h.sim.desktop.observerCreationError.clear();
    advance(0.4);
    EXPECT_EQ(installed(), std::multiset<Pid>{Harness::kAppB});
}

TEST_F(Observer, AFocusRaceSkipsTheBind) {
    o.bindObserver(Harness::kAppA);  // not running: nothing at all
    EXPECT_TRUE(h.sim.console.lines.empty());
    o.start();
    o.unbindObserver();
    h.sim.workspace.frontmost = RunningApplication{Harness::kAppB, std::nullopt};
    o.bindObserver(Harness::kAppA);
    o.bindObserver(Harness::kOwner);
    EXPECT_EQ(h.lines("Focus changed before observer creation").size(), 2u);
    EXPECT_EQ(h.sim.desktop.count("createObserver 100"), 1u);  // only the start's
}

TEST_F(Observer, NotificationsAreDebouncedAndNothingRunsAfterStopOrDestruction) {
    o.start();
    // Keep the timer out of the count: our own process in front makes ticks skip.
    h.sim.workspace.frontmost = RunningApplication{Harness::kOwner, std::nullopt};
    for (int i = 0; i < 5; ++i) {
        h.sim.desktop.fire(Harness::kAppA, "AXSelectedTextChanged");
        advance(0.05);
    }
    advance(0.149);
    EXPECT_EQ(h.readings(), 0u);
    advance(0.001);  // 0.2 s after the fifth
    EXPECT_EQ(h.readings(), 1u);
    EXPECT_EQ(h.changes.size(), 1u);

    h.sim.desktop.fire(Harness::kAppA, "AXSelectedTextChanged");
    advance(0.1);
    o.stop();
    o.handleAXNotification("AXSelectedTextChanged");
    advance(1.0);
    EXPECT_EQ(h.readings(), 1u);
    EXPECT_EQ(h.sim.queue.pendingCount(), 0u);

    o.start();
    h.sim.desktop.fire(Harness::kAppA, "AXSelectedTextChanged");  // queues a block
    h.observer.reset();
    EXPECT_TRUE(installed().empty());
    advance(1.0);
    EXPECT_EQ(h.readings(), 1u);
    EXPECT_EQ(h.sim.queue.pendingCount(), 0u);
}

TEST_F(Observer, ReadingTakesTextFromTheFirstSourceThatHasIt) {
    auto text = [&] {
        auto snapshot = o.readSelection();
        return snapshot ? snapshot->text : "<none>";
    };
    auto& d = h.sim.desktop;
    h.select(h.textA, "hello", Rect{10, 20, 30, 40});
    EXPECT_EQ(text(), "hello");
    EXPECT_EQ(d.count("param AXStringForRange"), 0u);

    // An empty selected text, or one of the wrong kind: the range's string, bounds for that range.
    for (const Answer& selected : {Answer{0, std::string()}, Answer{0, ax::OtherValue{}}}) {
        d.set(h.textA, "AXSelectedText", selected);
        d.set(h.textA, "AXSelectedTextRange", Answer{0, AXValue::range({3, 4})});
        d.setParameterized(h.textA, "AXStringForRange", Answer{0, std::string("from range")});
        EXPECT_EQ(text(), "from range");
        EXPECT_EQ(d.calls.back(), "param AXBoundsForRange");
        EXPECT_EQ(d.lastRange->location, 3);
        EXPECT_EQ(d.lastRange->length, 4);
    }
    // Offsets far beyond any text (found by fuzzing) are passed on as read.
    const std::int64_t huge = std::numeric_limits<std::int64_t>::max();
    d.set(h.textA, "AXSelectedTextRange", Answer{0, AXValue::range({huge, huge})});
    EXPECT_EQ(text(), "from range");
    EXPECT_EQ(d.lastRange->location, huge);

    // No usable range: nothing, before any string is asked for.
    size_t asked = d.count("param AXStringForRange");
    for (const Answer& range : {Answer{0, AXValue::range({0, 0})}, Answer{0, std::string("x")},
                                Answer{0, AXValue::rect({1, 2, 3, 4})}}) {
        d.set(h.textA, "AXSelectedTextRange", range);
        EXPECT_EQ(text(), "<none>");
    }
    EXPECT_EQ(d.count("param AXStringForRange"), asked);

    // The attributed string is the last source; a failure ends the reading whatever it holds.
    d.set(h.textA, "AXSelectedTextRange", Answer{0, AXValue::range({0, 4})});
    d.setParameterized(h.textA, "AXStringForRange", Answer{ax::kAXErrorFailure, std::nullopt});
    for (const auto& [attributed, expected] : std::vector<std::pair<Answer, std::string>>{
             {Answer{0, ax::AttributedString{"rich"}}, "rich"},
             {Answer{0, std::string("plain")}, "plain"},
             {Answer{0, ax::AttributedString{""}}, "<none>"},
             {Answer{0, ax::OtherValue{}}, "<none>"},
             {Answer{ax::kAXErrorFailure, std::string("ignored")}, "<none>"}}) {
        d.setParameterized(h.textA, "AXAttributedStringForRange", attributed);
        EXPECT_EQ(text(), expected);
    }
}

TEST_F(Observer, BoundsCoverTheCharactersOrFallBackToThePointer) {
    auto& d = h.sim.desktop;
    // No range: the whole text, counted in characters (emoji with skin tone, then two letters).
    d.setSelection(h.textA,
                   "\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd"
                   "ab",
                   std::nullopt, Rect{1, 1, 9, 9});
    auto snapshot = o.readSelection();
    ASSERT_TRUE(snapshot);
    EXPECT_FALSE(snapshot->usesFallbackRect);
    EXPECT_EQ(d.lastRange->location, 0);
    EXPECT_EQ(d.lastRange->length, 3);
    d.failRangeCreation = true;
    EXPECT_FALSE(o.readSelection());
    d.failRangeCreation = false;

    h.select(h.textA, "hi", Rect{100, 50, -30, 12});
    EXPECT_EQ(o.readSelection()->rect.width, -30);  // kept as returned

    h.sim.workspace.pointer = Point{812.6, 400.2};
    for (const Answer& bounds :
         {Answer{0, AXValue::rect({5, 5, 0, 10})}, Answer{0, AXValue::rect({5, 5, 10, -0.0})},
          Answer{ax::kAXErrorFailure, std::nullopt}, Answer{0, AXValue::range({0, 1})},
          Answer{0, std::string("wrong kind")}}) {
        d.setParameterized(h.textA, "AXBoundsForRange", bounds);
        snapshot = o.readSelection();
        ASSERT_TRUE(snapshot);
        EXPECT_TRUE(snapshot->usesFallbackRect);
        EXPECT_DOUBLE_EQ(snapshot->rect.x, 792.6);
        EXPECT_DOUBLE_EQ(snapshot->rect.y, 390.2);
        EXPECT_EQ(snapshot->rect.width, 40);
        EXPECT_EQ(snapshot->rect.height, 20);
    }
}

TEST_F(Observer, FocusFailuresAreLoggedOnTheFirstAndEveryTwentyFifth) {
    h.sim.desktop.focusedElementAnswer = Answer{ax::kAXErrorCannotComplete, std::nullopt};
    for (int i = 0; i < 30; ++i) {
        EXPECT_FALSE(o.readSelection());
    }
    h.sim.desktop.focusedElementAnswer.reset();
    o.readSelection();  // a focused element starts the count again
    h.sim.desktop.focusedElementAnswer = Answer{ax::kAXErrorSuccess, std::nullopt};
    o.readSelection();
    EXPECT_EQ(h.lines("AX获取焦点元素失败"),
              (Lines{msg::consoleLine("WARN", msg::focusedElementFailed(1, -25204)),
                     msg::consoleLine("WARN", msg::focusedElementFailed(26, -25204)),
                     msg::consoleLine("WARN", msg::focusedElementFailed(1, 0))}));
}

TEST_F(Observer, EmptyReadingsClearOnceAndRepeatsAreJudgedBySignature) {
    evaluateEmpty();
    evaluate("some text", Rect{10, 10, 50, 12});  // a snapshot between empties resets the streak
    evaluateEmpty();
    EXPECT_EQ(h.clears, 0);
    evaluateEmpty();
    EXPECT_EQ(h.clears, 1);
    EXPECT_EQ(h.lines(msg::selectionCleared("empty_selection_threshold")).size(), 1u);
    evaluateEmpty();
    evaluateEmpty();
    EXPECT_EQ(h.clears, 1);  // the same reason again is suppressed
    // One character reports nothing, yet ends the streak and re-arms the clear.
    evaluate("x", Rect{10, 10, 50, 12});
    evaluateEmpty();
    evaluate("\r\n", Rect{10, 10, 50, 12});
    evaluateEmpty();
    EXPECT_EQ(h.clears, 1);
    evaluateEmpty();
    EXPECT_EQ(h.clears, 2);
    EXPECT_EQ(h.changes.size(), 1u);

    // Repeats: the same text at the same midpoint (integer) is one selection, also after clears
    // and one-character selections; the whole text counts, not its start; canonically
    // equivalent texts are the same text.
    for (const auto& [text, rect, reported] : std::vector<std::tuple<std::string, Rect, bool>>{
             {"some text", {10, 10, 50, 12}, false},
             {"  ", {10, 10, 50, 12}, true},  // white space is not trimmed
             {"some text", {10, 40, 50, 12}, true},
             {"some text", {10.4, 40.3, 50, 12}, false},
             {"abcdefghijklmnopqrst-one", {0, 0, 10, 10}, true},
             {"abcdefghijklmnopqrst-two", {0, 0, 10, 10}, true},
             {"abcdefghijklmnopqrst-two", {0, 0, 10, 10}, false},
             {"caf\xc3\xa9 au lait", {0, 0, 10, 10}, true},
             {"cafe\xcc\x81 au lait", {0, 0, 10, 10}, false}}) {
        size_t before = h.changes.size();
        evaluate(text, rect);
        EXPECT_EQ(h.changes.size(), before + (reported ? 1 : 0)) << text;
    }
    // A pointer rectangle carries no position: the pointer moving is no new selection.
    h.sim.workspace.pointer = Point{500, 500};
    evaluate("pointer text", Rect{});
    h.sim.workspace.pointer = Point{20, 900};
    evaluate("pointer text", Rect{});
    EXPECT_EQ(h.changes.back().rect.x, 480);
    EXPECT_EQ(h.changes.size(), 7u);
    // ...but a selection grown past its first 20 characters is new wherever the pointer is.
    evaluate("pointer text, grown by a word", Rect{});
    evaluate("pointer text, grown by a word!", Rect{});
    EXPECT_EQ(h.changes.size(), 9u);
    EXPECT_EQ(h.changes.back().text, "pointer text, grown by a word!");
}

TEST_F(Observer, BoundsAreStrict) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::nan("");
    int n = 0;
    for (const auto& [rect, valid] :
         std::vector<std::pair<Rect, bool>>{{{0, 0, 9999.9, 10}, true},
                                            {{0, 0, 10000, 10}, false},
                                            {{0, 0, 10, 10000}, false},
                                            {{0, -4999.9, 10, 10}, true},
                                            {{0, -5000, 10, 10}, false},
                                            {{0, 9989.9, 10, 10}, true},
                                            {{0, 9990, 10, 10}, false},
                                            {{0, 10, 10, -5010}, false},
                                            {{-20000, 300, 100, 20}, true},
                                            {{inf, 300, 100, 20}, false},
                                            {{nan, 300, 100, 20}, false},
                                            {{0, 0, nan, 20}, false}}) {
        size_t before = h.changes.size();
        evaluate("plausible? " + std::to_string(++n), rect);
        EXPECT_EQ(h.changes.size(), before + (valid ? 1 : 0)) << n;
    }
    h.forget();
    evaluate("too big", Rect{40, 792.6, 10000, 20});
    evaluate("too big", Rect{40, 792.6, 10000, 20});
    EXPECT_EQ(h.lines("Invalid"),
              Lines{msg::consoleLine("DEBUG", msg::invalidSelectionRect({40, 792.6, 10000, 20}))});
    EXPECT_TRUE(h.sim.center.posts.empty());  // debug lines are not posted
}

TEST_F(Observer, AddressBarsAndSearchBoxesAreExcluded) {
    auto& d = h.sim.desktop;
    auto toolbar = d.addElement(h.windowA, "AXToolbar");
    auto group = d.addElement(h.windowA, "AXGroup");
    int n = 0;
    for (const auto& [element, excluded] : std::vector<std::pair<ax::ElementRef, bool>>{
             {d.addElement(toolbar, "AXTextField"), true},
             {d.addElement(group, "AXComboBox"), true},
             {d.addElement(d.addElement(toolbar, "AXSplitGroup"), "AXTextField"), false},
             {d.addElement(toolbar, "AXTextArea"), false},
             {d.addElement(h.windowA, "AXTextField"), false}}) {
        h.focus(element, Harness::kAppA);
        h.select(element, "selected " + std::to_string(++n), Rect{10, 10, 10, 10});
        size_t before = h.changes.size();
        o.evaluateSelection();
        o.evaluateSelection();
        EXPECT_EQ(h.changes.size(), before + (excluded ? 0 : 1)) << n;
    }
    // Each excluded selection logged once, then ignored in silence.
    EXPECT_EQ(h.lines(msg::kIgnoredExcluded).size(), 2u);

    // What cannot be read counts as not excluded.
    auto field = d.addElement(toolbar, "AXTextField");
    h.focus(field, Harness::kAppA);
    for (const Answer& parent :
         {Answer{ax::kAXErrorFailure, std::nullopt}, Answer{0, std::string("not an element")}}) {
        d.set(field, "AXParent", parent);
        EXPECT_FALSE(o.isFocusedElementExcluded());
    }
    d.set(field, "AXParent", {0, toolbar});
    d.set(toolbar, "AXRole", {0, ax::OtherValue{}});
    EXPECT_FALSE(o.isFocusedElementExcluded());
    d.set(toolbar, "AXRole", {0, std::string("AXToolbar")});
    EXPECT_TRUE(o.isFocusedElementExcluded());
    d.focus(nullptr);
    EXPECT_FALSE(o.isFocusedElementExcluded());
}

}  // namespace
}  // namespace glimwick::sim
