// Turning readings into events: the empty streak, repeats, exclusions and rectangle validity.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "ObserverHarness.h"

namespace glimwick::sim {
namespace {

class Evaluation : public ::testing::Test {
protected:
    Evaluation() { h.focus(h.textA, ObserverHarness::kAppA); }

    void selectAndEvaluate(const std::string& text, Rect bounds) {
        h.select(h.textA, text, bounds);
        h.observer->evaluateSelection();
    }
    void deselectAndEvaluate() {
        h.deselect(h.textA);
        h.observer->evaluateSelection();
    }

    ObserverHarness h;
};

TEST_F(Evaluation, TwoEmptyReadingsClearOnceAndASnapshotRearms) {
    deselectAndEvaluate();
    EXPECT_EQ(h.clears, 0);
    EXPECT_EQ(h.observer->emptySelectionStreak(), 1);
    deselectAndEvaluate();
    EXPECT_EQ(h.clears, 1);
    EXPECT_EQ(h.observer->emptySelectionStreak(), 0);
    EXPECT_EQ(h.observer->lastClearReason(), "empty_selection_threshold");
    EXPECT_EQ(h.linesContaining("Selection cleared"),
              std::vector<std::string>{
                  "[SelectionObserver][DEBUG] Selection cleared: empty_selection_threshold"});

    deselectAndEvaluate();
    deselectAndEvaluate();
    EXPECT_EQ(h.clears, 1);  // suppressed, yet the streak restarts
    EXPECT_EQ(h.observer->emptySelectionStreak(), 0);

    selectAndEvaluate("some text", Rect{10, 10, 50, 12});
    EXPECT_EQ(h.observer->lastClearReason(), "");
    deselectAndEvaluate();
    deselectAndEvaluate();
    EXPECT_EQ(h.clears, 2);
}

TEST_F(Evaluation, ASnapshotBetweenEmptiesResetsTheStreak) {
    deselectAndEvaluate();
    selectAndEvaluate("some text", Rect{10, 10, 50, 12});
    deselectAndEvaluate();
    EXPECT_EQ(h.clears, 0);
}

TEST_F(Evaluation, OneCharacterSelectionsReportNothingButResetTheStreak) {
    deselectAndEvaluate();
    deselectAndEvaluate();
    ASSERT_EQ(h.observer->lastClearReason(), "empty_selection_threshold");
    deselectAndEvaluate();
    selectAndEvaluate("x", Rect{10, 10, 50, 12});
    selectAndEvaluate("\r\n", Rect{10, 10, 50, 12});
    EXPECT_TRUE(h.changes.empty());
    EXPECT_EQ(h.observer->emptySelectionStreak(), 0);
    EXPECT_EQ(h.observer->lastClearReason(), "");
    EXPECT_EQ(h.observer->lastSelectionSignature(), "");

    selectAndEvaluate("  ", Rect{10, 10, 50, 12});  // white space is not trimmed
    EXPECT_EQ(h.changes.size(), 1u);
}

TEST_F(Evaluation, ASelectionIsReportedWithItsRectangleAndLogged) {
    h.sim.workspace.pointer = Point{0, 0};
    std::string text = "The quick brown fox jumps over the lazy dog";
    selectAndEvaluate(text, Rect{-120.7, 30, 41.5, -12});
    ASSERT_EQ(h.changes.size(), 1u);
    EXPECT_EQ(h.changes[0].text, text);
    EXPECT_EQ(h.changes[0].rect.x, -120.7);
    EXPECT_EQ(h.changes[0].rect.height, -12);  // unchanged from the reading
    EXPECT_EQ(h.linesContaining("Selection validated"),
              std::vector<std::string>{"[SelectionObserver][INFO] Selection validated: The quick "
                                       "brown fox jumps over... at (-99, 24)"});
    // The INFO line is also a diagnostic.
    EXPECT_EQ(h.sim.center.posts.back().payload()["context"],
              "Observer: Selection validated: The quick brown fox jumps over... at (-99, 24)");
}

TEST_F(Evaluation, RepeatsAreJudgedBySignature) {
    selectAndEvaluate("repeated text", Rect{100, 100, 40, 10});
    selectAndEvaluate("repeated text", Rect{100, 100, 40, 10});
    EXPECT_EQ(h.changes.size(), 1u);

    // A clear does not forget the signature.
    deselectAndEvaluate();
    deselectAndEvaluate();
    selectAndEvaluate("repeated text", Rect{100, 100, 40, 10});
    EXPECT_EQ(h.changes.size(), 1u);

    // Another midpoint is another selection; within the same integer it is not.
    selectAndEvaluate("repeated text", Rect{100, 140, 40, 10});
    selectAndEvaluate("repeated text", Rect{100.4, 140.3, 40, 10});
    EXPECT_EQ(h.changes.size(), 2u);

    // Only the first 20 characters count.
    selectAndEvaluate("abcdefghijklmnopqrst-one", Rect{0, 0, 10, 10});
    selectAndEvaluate("abcdefghijklmnopqrst-two", Rect{0, 0, 10, 10});
    EXPECT_EQ(h.changes.size(), 3u);

    // Canonically equivalent texts are the same text.
    selectAndEvaluate("caf\xc3\xa9 au lait", Rect{0, 0, 10, 10});
    selectAndEvaluate("cafe\xcc\x81 au lait", Rect{0, 0, 10, 10});
    EXPECT_EQ(h.changes.size(), 4u);
}

TEST_F(Evaluation, FallbackRectanglesCarryNoPosition) {
    h.sim.workspace.pointer = Point{500, 500};
    selectAndEvaluate("pointer text", Rect{});
    h.sim.workspace.pointer = Point{20, 900};
    selectAndEvaluate("pointer text", Rect{});
    ASSERT_EQ(h.changes.size(), 1u);
    EXPECT_EQ(h.changes[0].rect.x, 480);
    EXPECT_EQ(h.observer->lastSelectionSignature().substr(
                  h.observer->lastSelectionSignature().size() - 9),
              "_fallback");
}

struct RectCase {
    Rect rect;
    bool valid;
};

class Validity : public Evaluation, public ::testing::WithParamInterface<RectCase> {};

TEST_P(Validity, BoundsAreStrict) {
    selectAndEvaluate("plausible?", GetParam().rect);
    EXPECT_EQ(h.changes.size(), GetParam().valid ? 1u : 0u);
    EXPECT_EQ(h.linesContaining("Invalid selection rect").size(), GetParam().valid ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Evaluation, Validity,
    ::testing::Values(RectCase{{0, 0, 9999.9, 10}, true}, RectCase{{0, 0, 10000, 10}, false},
                      RectCase{{0, 0, 10, 10000}, false}, RectCase{{0, -5000, 10, 10}, false},
                      RectCase{{0, -4999.9, 10, 10}, true}, RectCase{{0, 9990, 10, 10}, false},
                      RectCase{{0, 9989.9, 10, 10}, true}, RectCase{{0, 10, 10, -5010}, false},
                      RectCase{{-20000, 300, 100, 20}, true},
                      RectCase{{1e300, 300, 100, 20}, false},
                      RectCase{{std::numeric_limits<double>::infinity(), 300, 100, 20}, false},
                      RectCase{{std::nan(""), 300, 100, 20}, false},
                      RectCase{{0, 0, std::nan(""), 20}, false}));

TEST_F(Evaluation, InvalidRectangleIsLoggedOnceWithItsValues) {
    selectAndEvaluate("too big", Rect{40, 792.6, 10000, 20});
    selectAndEvaluate("too big", Rect{40, 792.6, 10000, 20});
    EXPECT_EQ(h.linesContaining("Invalid selection rect"),
              std::vector<std::string>{"[SelectionObserver][DEBUG] Invalid selection rect: (40.0, "
                                       "792.6, 10000.0, 20.0), ignored"});
    // Debug lines are not posted.
    EXPECT_TRUE(h.sim.center.posts.empty());
}

TEST_F(Evaluation, AddressBarsAndSearchBoxesAreExcluded) {
    auto& desktop = h.sim.desktop;
    auto toolbar = desktop.addElement(h.windowA, "AXToolbar");
    auto group = desktop.addElement(h.windowA, "AXGroup");
    auto addressBar = desktop.addElement(toolbar, "AXTextField");
    auto searchBox = desktop.addElement(group, "AXComboBox");
    auto deepField = desktop.addElement(desktop.addElement(toolbar, "AXSplitGroup"), "AXTextField");
    auto toolbarText = desktop.addElement(toolbar, "AXTextArea");
    auto plainField = desktop.addElement(h.windowA, "AXTextField");

    int n = 0;
    for (const auto& [element, excluded] :
         std::vector<std::pair<ax::ElementRef, bool>>{{addressBar, true},
                                                      {searchBox, true},
                                                      {deepField, false},
                                                      {toolbarText, false},
                                                      {plainField, false}}) {
        h.focus(element, ObserverHarness::kAppA);
        h.sim.desktop.setSelection(element, "selected " + std::to_string(++n), ax::Range{0, 1},
                                   Rect{10, 10, 10, 10});
        size_t before = h.changes.size();
        h.observer->evaluateSelection();
        h.observer->evaluateSelection();
        EXPECT_EQ(h.changes.size(), before + (excluded ? 0 : 1)) << n;
    }
    // Each excluded selection was logged once, then ignored in silence.
    EXPECT_EQ(h.linesContaining("Ignored: element in exclusion list").size(), 2u);
    EXPECT_EQ(h.linesContaining("Ignored").front(),
              "[SelectionObserver][DEBUG] Ignored: element in exclusion list (address bar, search "
              "box, etc.)");
}

TEST_F(Evaluation, ExclusionFailuresCountAsNotExcluded) {
    auto toolbar = h.sim.desktop.addElement(h.windowA, "AXToolbar");
    auto field = h.sim.desktop.addElement(toolbar, "AXTextField");
    h.focus(field, ObserverHarness::kAppA);
    h.sim.desktop.set(field, "AXParent", {ax::kAXErrorFailure, std::nullopt});
    EXPECT_FALSE(h.observer->isFocusedElementExcluded());
    h.sim.desktop.set(field, "AXParent", {0, std::string("not an element")});
    EXPECT_FALSE(h.observer->isFocusedElementExcluded());
    h.sim.desktop.set(field, "AXParent", {0, toolbar});
    h.sim.desktop.set(toolbar, "AXRole", {0, ax::OtherValue{}});
    EXPECT_FALSE(h.observer->isFocusedElementExcluded());
    h.sim.desktop.set(toolbar, "AXRole", {0, std::string("AXToolbar")});
    EXPECT_TRUE(h.observer->isFocusedElementExcluded());
    h.sim.desktop.clearFocus();
    EXPECT_FALSE(h.observer->isFocusedElementExcluded());
}

TEST_F(Evaluation, ClearsWithTheSameReasonAreSuppressed) {
    h.observer->clearSelection("focus_pid_changed");
    h.observer->clearSelection("focus_pid_changed");
    EXPECT_EQ(h.clears, 1);
    deselectAndEvaluate();
    deselectAndEvaluate();
    EXPECT_EQ(h.clears, 2);
    EXPECT_EQ(h.observer->lastClearReason(), "empty_selection_threshold");
}

TEST(EvaluationWithoutClearCallback, ClearDoesNothing) {
    ObserverHarness h(/*withClearedCallback=*/false);
    h.observer->clearSelection("focus_pid_changed");
    EXPECT_EQ(h.observer->lastClearReason(), "");
    EXPECT_TRUE(h.sim.console.lines.empty());
}

}  // namespace
}  // namespace glimwick::sim
