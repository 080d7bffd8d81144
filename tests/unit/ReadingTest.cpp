// Reading the focused element's selection: the order of text sources, bounds and the pointer
// rectangle, and the failure counter.

#include <gtest/gtest.h>

#include <limits>

#include "ObserverHarness.h"

namespace glimwick::sim {
namespace {

using ax::Answer;
using ax::AXValue;

class Reading : public ::testing::Test {
protected:
    Reading() { h.focus(h.textA, ObserverHarness::kAppA); }

    SimDesktop& desktop() { return h.sim.desktop; }
    ObserverHarness h;
};

TEST_F(Reading, SelectedTextWithItsBounds) {
    h.select(h.textA, "hello", Rect{10, 20, 30, 40});
    auto snapshot = h.observer->readSelection();
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(snapshot->text, "hello");
    EXPECT_EQ(snapshot->rect.x, 10);
    EXPECT_EQ(snapshot->rect.height, 40);
    EXPECT_FALSE(snapshot->usesFallbackRect);
    EXPECT_FALSE(desktop().asked("AXStringForRange"));
}

TEST_F(Reading, FocusFailuresAreCountedAndLoggedOnTheFirstAndEveryTwentyFifth) {
    desktop().focusedElementAnswer = Answer{ax::kAXErrorCannotComplete, std::nullopt};
    for (int i = 0; i < 30; ++i) {
        EXPECT_FALSE(h.observer->readSelection());
    }
    EXPECT_EQ(h.observer->axFailCount(), 30);
    EXPECT_EQ(h.linesContaining("AX获取焦点元素失败"),
              (std::vector<std::string>{
                  "[SelectionObserver][WARN] AX获取焦点元素失败(#1): errorCode=-25204",
                  "[SelectionObserver][WARN] AX获取焦点元素失败(#26): errorCode=-25204"}));

    // A reading with a focused element starts the count again; success without a value logs 0.
    desktop().focusedElementAnswer.reset();
    h.observer->readSelection();
    EXPECT_EQ(h.observer->axFailCount(), 0);
    desktop().focusedElementAnswer = Answer{ax::kAXErrorSuccess, std::nullopt};
    h.observer->readSelection();
    EXPECT_EQ(h.linesContaining("AX获取焦点元素失败").back(),
              "[SelectionObserver][WARN] AX获取焦点元素失败(#1): errorCode=0");
}

TEST_F(Reading, TextComesFromTheRangeWhenSelectedTextIsEmpty) {
    h.select(h.textA, "", Rect{0, 0, 5, 5});
    desktop().set(h.textA, "AXSelectedTextRange", Answer{0, AXValue::range({3, 4})});
    desktop().setParameterized(h.textA, "AXStringForRange", Answer{0, std::string("from range")});
    auto snapshot = h.observer->readSelection();
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(snapshot->text, "from range");
    // The bounds are asked for the selected range.
    ASSERT_EQ(desktop().calls.back().name, "AXBoundsForRange");
    EXPECT_EQ(desktop().calls.back().range->location, 3);
    EXPECT_EQ(desktop().calls.back().range->length, 4);
}

TEST_F(Reading, AnEmptyRangeEndsTheReadingBeforeAskingForItsString) {
    h.deselect(h.textA);
    EXPECT_FALSE(h.observer->readSelection());
    EXPECT_FALSE(desktop().asked("AXStringForRange"));
    EXPECT_FALSE(desktop().asked("AXBoundsForRange"));

    desktop().set(h.textA, "AXSelectedTextRange", Answer{0, std::string("not a value")});
    EXPECT_FALSE(h.observer->readSelection());
    desktop().set(h.textA, "AXSelectedTextRange", Answer{0, AXValue::rect({1, 2, 3, 4})});
    EXPECT_FALSE(h.observer->readSelection());
    EXPECT_FALSE(desktop().asked("AXStringForRange"));
}

TEST_F(Reading, AttributedStringIsTheLastSource) {
    h.deselect(h.textA);
    desktop().set(h.textA, "AXSelectedTextRange", Answer{0, AXValue::range({0, 4})});
    desktop().setParameterized(h.textA, "AXStringForRange",
                               Answer{ax::kAXErrorFailure, std::nullopt});

    desktop().setParameterized(h.textA, "AXAttributedStringForRange",
                               Answer{0, ax::AttributedString{"rich"}});
    ASSERT_TRUE(h.observer->readSelection());
    EXPECT_EQ(h.observer->readSelection()->text, "rich");

    desktop().setParameterized(h.textA, "AXAttributedStringForRange",
                               Answer{0, std::string("plain")});
    EXPECT_EQ(h.observer->readSelection()->text, "plain");

    desktop().setParameterized(h.textA, "AXAttributedStringForRange",
                               Answer{0, ax::AttributedString{""}});
    EXPECT_FALSE(h.observer->readSelection());

    desktop().setParameterized(h.textA, "AXAttributedStringForRange", Answer{0, ax::OtherValue{}});
    EXPECT_FALSE(h.observer->readSelection());

    // A failed attributed read ends the reading, even with a value attached.
    desktop().setParameterized(h.textA, "AXAttributedStringForRange",
                               Answer{ax::kAXErrorFailure, std::string("ignored")});
    EXPECT_FALSE(h.observer->readSelection());
}

TEST_F(Reading, WithoutASelectedRangeTheBoundsCoverTheWholeTextInCharacters) {
    // One emoji with a skin-tone modifier, then two letters: three characters, ten bytes.
    desktop().setSelection(h.textA,
                           "\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd"
                           "ab",
                           std::nullopt, Rect{1, 1, 9, 9});
    auto snapshot = h.observer->readSelection();
    ASSERT_TRUE(snapshot);
    EXPECT_FALSE(snapshot->usesFallbackRect);
    ASSERT_EQ(desktop().calls.back().name, "AXBoundsForRange");
    EXPECT_EQ(desktop().calls.back().range->location, 0);
    EXPECT_EQ(desktop().calls.back().range->length, 3);

    desktop().failRangeCreation = true;
    EXPECT_FALSE(h.observer->readSelection());
}

TEST_F(Reading, DegenerateOrMissingBoundsGiveTheRectangleAroundThePointer) {
    h.sim.workspace.pointer = Point{812.6, 400.2};
    for (const Answer& bounds :
         {Answer{0, AXValue::rect({5, 5, 0, 10})}, Answer{0, AXValue::rect({5, 5, 10, -0.0})},
          Answer{ax::kAXErrorFailure, std::nullopt}, Answer{0, AXValue::range({0, 1})},
          Answer{0, std::string("wrong kind")}}) {
        h.select(h.textA, "hi", Rect{});
        desktop().setParameterized(h.textA, "AXBoundsForRange", bounds);
        auto snapshot = h.observer->readSelection();
        ASSERT_TRUE(snapshot);
        EXPECT_TRUE(snapshot->usesFallbackRect);
        EXPECT_DOUBLE_EQ(snapshot->rect.x, 792.6);
        EXPECT_DOUBLE_EQ(snapshot->rect.y, 390.2);
        EXPECT_EQ(snapshot->rect.width, 40);
        EXPECT_EQ(snapshot->rect.height, 20);
    }
}

TEST_F(Reading, NegativeWidthIsKeptAsReturned) {
    h.select(h.textA, "hi", Rect{100, 50, -30, 12});
    auto snapshot = h.observer->readSelection();
    ASSERT_TRUE(snapshot);
    EXPECT_FALSE(snapshot->usesFallbackRect);
    EXPECT_EQ(snapshot->rect.width, -30);
}

TEST_F(Reading, ARangeAtTheSixtyFourBitLimitsIsPassedOnAsRead) {
    // Found by fuzzing with offsets far beyond any text.
    h.deselect(h.textA);
    const std::int64_t huge = std::numeric_limits<std::int64_t>::max();
    desktop().set(h.textA, "AXSelectedTextRange", Answer{0, AXValue::range({huge, huge})});
    desktop().setParameterized(h.textA, "AXStringForRange", Answer{0, std::string("far away")});
    auto snapshot = h.observer->readSelection();
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(snapshot->text, "far away");
    EXPECT_EQ(desktop().calls.back().range->location, huge);
}

TEST_F(Reading, SelectedTextOfTheWrongKindFallsBackToTheRange) {
    desktop().set(h.textA, "AXSelectedText", Answer{0, ax::OtherValue{}});
    desktop().set(h.textA, "AXSelectedTextRange", Answer{0, AXValue::range({0, 2})});
    desktop().setParameterized(h.textA, "AXStringForRange", Answer{0, std::string("ok")});
    ASSERT_TRUE(h.observer->readSelection());
    EXPECT_EQ(h.observer->readSelection()->text, "ok");
}

}  // namespace
}  // namespace glimwick::sim
