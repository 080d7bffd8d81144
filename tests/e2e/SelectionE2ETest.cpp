// The real helper on a real desktop stack: Xvfb, a session bus, the accessibility bus, a
// window manager and GTK windows with known text.

#include <filesystem>

#include "DesktopFixture.h"
#include "FixtureText.h"

namespace glimwick::testing {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// The text between two character offsets of a UTF-8 text.
std::string characters(const std::string& text, int start, int end) {
    gchar* from = g_utf8_offset_to_pointer(text.c_str(), start);
    gchar* to = g_utf8_offset_to_pointer(text.c_str(), end);
    return std::string(from, to);
}

class SelectionE2E : public DesktopFixture {
protected:
    static void command(FixtureWindow& window, const std::string& line) {
        ASSERT_TRUE(window.command(line)) << line;
    }
    void SetUp() override {
        DesktopFixture::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        window_ = &openWindow("Glimwick Fixture A");
        ASSERT_TRUE(window_->ready());
        activate(*window_);
        helper_ = &startHelper();
        waitForHelperReady(*helper_);
    }

    void startMonitoring() {
        post("com.corvala.helper.startMonitoring", R"({"appPID": 1})");
        ASSERT_TRUE(waitForDiagnostic("✅监听已启动 mainAppPID=1 helperPID=" +
                                      std::to_string(helper_->pid())))
            << helper_->stdoutText();
        ASSERT_TRUE(waitForLine(*helper_, "[SelectionObserver][INFO] Observer bound to pid=" +
                                              std::to_string(window_->pid()) + ", subscribed=1/1"))
            << helper_->stdoutText();
    }

    FixtureWindow* window_ = nullptr;
    ChildProcess* helper_ = nullptr;
};

TEST_F(SelectionE2E, PermissionIsGrantedOnThisStack) {
    post("com.corvala.helper.checkPermission", std::nullopt);
    ASSERT_TRUE(waitUntil(
        [&] {
            for (const auto& event : eventsNamed("com.corvala.app.permissionStatus")) {
                if (event.payload.value("axErrorCode", -1) == 0) {
                    return true;
                }
            }
            return false;
        },
        15s));
    auto status = eventsNamed("com.corvala.app.permissionStatus").back().payload;
    EXPECT_EQ(status["granted"], true);
    EXPECT_EQ(status["axTrusted"], true);
    EXPECT_EQ(status["axErrorCode"], 0);
}

// An application may have the focus before it is on the accessibility bus; it is subscribed to
// by its process, not refused for good.
TEST_F(SelectionE2E, AnApplicationStillRegisteringIsSubscribedToByItsProcess) {
    startMonitoring();
    FixtureWindow& late =
        openWindow("Glimwick Fixture Late", "--late-accessibility", {{"NO_AT_BRIDGE", "1"}});
    activate(late);
    std::string pid = std::to_string(late.pid());
    ASSERT_TRUE(waitForLine(
        *helper_, "[SelectionObserver][INFO] Observer bound to pid=" + pid + ", subscribed=1/1"))
        << helper_->stdoutText();
    command(late, "register");
    command(late, "select view 42 61");
    // Until it registers, its PRIMARY selection (an entry's text, selected as it got the
    // focus) may stand in.
    EXPECT_TRUE(waitUntil(
        [&] {
            auto changed = eventsNamed("com.corvala.app.selectionChanged");
            return !changed.empty() && changed.back().payload["text"] == "quick brown fox jum";
        },
        10s))
        << helper_->stdoutText();
}

TEST_F(SelectionE2E, ASelectionInTheTextViewReachesTheMainApp) {
    startMonitoring();
    command(*window_, "select view 42 61");
    ASSERT_TRUE(waitForEvent("com.corvala.app.selectionChanged")) << helper_->stdoutText();
    auto changed = eventsNamed("com.corvala.app.selectionChanged").front().payload;
    EXPECT_EQ(changed["text"], characters(fixture::kViewText, 42, 61));
    EXPECT_EQ(changed["text"], "quick brown fox jum");
    Rect extents = window_->extents("view", 42, 61);
    EXPECT_EQ(changed["x"], extents.x);
    EXPECT_EQ(changed["y"], extents.y);
    EXPECT_EQ(changed["w"], extents.width);
    EXPECT_EQ(changed["h"], extents.height);
    EXPECT_GT(extents.width, 0);
    EXPECT_EQ(changed["pid"], helper_->pid());

    // Non-ASCII text arrives whole, the emoji with its skin tone included.
    command(*window_, "select view 83 100");
    ASSERT_TRUE(waitForEvent("com.corvala.app.selectionChanged", 2)) << helper_->stdoutText();
    EXPECT_EQ(eventsNamed("com.corvala.app.selectionChanged").back().payload["text"],
              characters(fixture::kViewText, 83, 100));
}

// A toolkit that gives no size for the range: the rectangle surrounds the X11 pointer, in
// the same top-left coordinates as every other rectangle.
TEST_F(SelectionE2E, WithoutBoundsTheRectangleSurroundsThePointer) {
    FixtureWindow& sizeless = openWindow("Glimwick Fixture Sizeless", "--no-range-extents");
    activate(sizeless);
    ChildProcess pointer({"xdotool", "mousemove", "--sync", "300", "100"}, busEnvironment());
    ASSERT_TRUE(pointer.waitForExit(10s));
    post("com.corvala.helper.startMonitoring", R"({"appPID": 1})");
    ASSERT_TRUE(waitForLine(*helper_, "[SelectionObserver][INFO] Observer bound to pid=" +
                                          std::to_string(sizeless.pid()) + ", subscribed=1/1"))
        << helper_->stdoutText();
    command(sizeless, "select view 42 57");
    ASSERT_TRUE(waitForEvent("com.corvala.app.selectionChanged")) << helper_->stdoutText();
    auto changed = eventsNamed("com.corvala.app.selectionChanged").back().payload;
    EXPECT_EQ(changed["text"], "quick brown fox");
    EXPECT_EQ(changed["x"], 280);
    EXPECT_EQ(changed["y"], 90);
    EXPECT_EQ(changed["w"], 40);
    EXPECT_EQ(changed["h"], 20);
}

TEST_F(SelectionE2E, DeselectingClearsOnceAfterTwoEmptyReadings) {
    startMonitoring();
    command(*window_, "select view 0 8");
    ASSERT_TRUE(waitForEvent("com.corvala.app.selectionChanged"));
    command(*window_, "deselect view");
    ASSERT_TRUE(waitForEvent("com.corvala.app.selectionCleared")) << helper_->stdoutText();
    EXPECT_TRUE(waitForLine(
        *helper_, "[SelectionObserver][DEBUG] Selection cleared: empty_selection_threshold"));
    // Further empty readings (a second at least) report nothing more.
    auto later = std::chrono::steady_clock::now() + 1200ms;
    waitUntil([&] { return std::chrono::steady_clock::now() >= later; }, 5s);
    ASSERT_TRUE(roundTrip());
    EXPECT_EQ(eventsNamed("com.corvala.app.selectionCleared").size(), 1u);
    EXPECT_EQ(eventsNamed("com.corvala.app.selectionCleared")[0].payload,
              (json{{"bundlePath",
                     std::filesystem::canonical(GLIMWICK_HELPER_PATH).parent_path().string()},
                    {"pid", helper_->pid()}}));
}

TEST_F(SelectionE2E, MovingToAnotherApplicationClearsAndRebinds) {
    startMonitoring();
    command(*window_, "select view 0 8");
    ASSERT_TRUE(waitForEvent("com.corvala.app.selectionChanged"));
    FixtureWindow& other = openWindow("Glimwick Fixture B");
    ASSERT_TRUE(other.ready());
    activate(other);
    ASSERT_TRUE(
        waitForLine(*helper_, "[SelectionObserver][INFO] Binding observer to focused app pid=" +
                                  std::to_string(other.pid())))
        << helper_->stdoutText();
    EXPECT_TRUE(waitForLine(*helper_, "[SelectionObserver][INFO] Observer bound to pid=" +
                                          std::to_string(other.pid()) + ", subscribed=1/1"));
    EXPECT_TRUE(
        waitForLine(*helper_, "[SelectionObserver][DEBUG] Selection cleared: focus_pid_changed"));
    ASSERT_TRUE(waitForEvent("com.corvala.app.selectionCleared"));

    command(other, "select view 4 12");
    ASSERT_TRUE(waitForEvent("com.corvala.app.selectionChanged", 2)) << helper_->stdoutText();
    EXPECT_EQ(eventsNamed("com.corvala.app.selectionChanged").back().payload["text"],
              characters(fixture::kViewText, 4, 12));
}

TEST_F(SelectionE2E, TheAddressBarAndTheBoxedEntryAreExcluded) {
    startMonitoring();
    command(*window_, "focus toolbar-entry");
    command(*window_, "select toolbar-entry 8 15");
    ASSERT_TRUE(
        waitForLine(*helper_,
                    "[SelectionObserver][DEBUG] Ignored: element in exclusion list (address "
                    "bar, search box, etc.)"))
        << helper_->stdoutText();
    // A plain GTK box is a generic container too, so its entry counts as a search box.
    command(*window_, "focus box-entry");
    command(*window_, "select box-entry 3 8");
    ASSERT_TRUE(waitUntil(
        [&] {
            auto lines = helper_->stdoutLines();
            return std::count(lines.begin(), lines.end(),
                              "[SelectionObserver][DEBUG] Ignored: element in exclusion list "
                              "(address bar, search box, etc.)") == 2;
        },
        15s))
        << helper_->stdoutText();
    ASSERT_TRUE(roundTrip());
    EXPECT_TRUE(eventsNamed("com.corvala.app.selectionChanged").empty());
}

TEST_F(SelectionE2E, PasswordTextIsNeverReadLoggedOrPosted) {
    startMonitoring();
    command(*window_, "focus password-entry");
    command(*window_, "select password-entry 0 12");
    // Let several ticks and any notification pass while the password is selected.
    auto later = std::chrono::steady_clock::now() + 2s;
    waitUntil([&] { return std::chrono::steady_clock::now() >= later; }, 5s);
    ASSERT_TRUE(roundTrip());
    EXPECT_TRUE(eventsNamed("com.corvala.app.selectionChanged").empty());
    std::string secret = fixture::kPasswordText;
    EXPECT_EQ(helper_->stdoutText().find("hunter2"), std::string::npos);
    EXPECT_EQ(busTraffic().find("hunter2"), std::string::npos);
    EXPECT_FALSE(busTraffic().empty());  // the monitor did see the traffic
}

class NoAccessibilityE2E : public DesktopFixture {
protected:
    bool withAccessibility() const override { return false; }
};

TEST_F(NoAccessibilityE2E, WithoutTheAccessibilityBusAccessIsDisabled) {
    ChildProcess& helper = startHelper();
    waitForHelperReady(helper);
    post("com.corvala.helper.checkPermission", std::nullopt);
    ASSERT_TRUE(waitForEvent("com.corvala.app.permissionStatus", 1));
    auto status = eventsNamed("com.corvala.app.permissionStatus").back().payload;
    EXPECT_EQ(status["granted"], false);
    EXPECT_EQ(status["axTrusted"], false);
    EXPECT_EQ(status["axErrorCode"], -25211);
}

}  // namespace
}  // namespace glimwick::testing
