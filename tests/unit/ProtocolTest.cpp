// What the helper says: command arguments decoded, events and diagnostics encoded, console
// lines, and the message texts that no check of the helper's behaviour pins already.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "SimPlatform.h"
#include "diagnostics/Diagnostics.h"
#include "diagnostics/Messages.h"
#include "protocol/Message.h"

namespace glimwick {
namespace {

std::optional<Json> decode(NotificationObject object) {
    return decodeArguments(Notification{"com.corvala.helper.startMonitoring", std::move(object)});
}

TEST(DecodeArguments, OnlyAStringHoldingAJSONObjectGivesArguments) {
    for (const NotificationObject& refused : std::vector<NotificationObject>{
             std::monostate{}, NonStringObject{}, std::string(""), std::string("{\"appPID\": 12"),
             std::string("[{\"appPID\": 12}]"), std::string("12"), std::string("\"text\""),
             std::string("null"), std::string("{\"a\": \"\xff\"}"),  // not UTF-8
             std::string(100000, '[')}) {
        EXPECT_FALSE(decode(refused));
    }
    auto arguments = decode(std::string(" {\"appPID\": 12, \"other\": [1, 2]} "));
    ASSERT_TRUE(arguments);
    EXPECT_EQ((*arguments)["appPID"], 12);
    EXPECT_TRUE(decode("{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}"));
}

TEST(WholeNumber, AcceptsIntegralNumbersInRangeOnly) {
    const std::int64_t lo = std::numeric_limits<std::int32_t>::min();
    const std::int64_t hi = std::numeric_limits<std::int32_t>::max();
    const std::int64_t min64 = std::numeric_limits<std::int64_t>::min();
    const std::int64_t max64 = std::numeric_limits<std::int64_t>::max();
    struct Case {
        Json value;
        std::int64_t low, high;
        std::optional<std::int64_t> whole;
    };
    for (const Case& c : std::vector<Case>{
             {Json::parse("123"), lo, hi, 123},
             {Json::parse("123.0"), lo, hi, 123},
             {Json::parse("-0.0"), lo, hi, 0},
             {Json::parse("2147483647"), lo, hi, hi},
             {Json::parse("2147483648"), lo, hi, std::nullopt},
             {Json::parse("1e15"), lo, hi, std::nullopt},  // whole, written with a fraction part
             {Json::parse("-1.0"), 0, hi, std::nullopt},
             {Json::parse("123.5"), lo, hi, std::nullopt},
             {Json::parse("true"), lo, hi, std::nullopt},
             {Json::parse("\"123\""), lo, hi, std::nullopt},
             {Json::parse("null"), lo, hi, std::nullopt},
             {Json::parse("9223372036854775807"), min64, max64, max64},
             {Json::parse("-9223372036854775808"), min64, max64, min64},
             {Json::parse("9223372036854775808"), min64, max64, std::nullopt},
             {Json::parse("18446744073709551615"), min64, max64, std::nullopt},
             {Json(-9223372036854775808.0), min64, max64, min64},  // -2^63, exactly
             {Json(9223372036854775808.0), min64, max64, std::nullopt},
             {Json::parse("1e300"), min64, max64, std::nullopt},
             {Json(std::numeric_limits<double>::infinity()), min64, max64, std::nullopt},
             {Json(std::nan("")), min64, max64, std::nullopt},
         }) {
        EXPECT_EQ(wholeNumber(c.value, c.low, c.high), c.whole) << c.value.dump();
    }
}

TEST(Posting, EventsAreCompactJSONAndDiagnosticsCarrySevenKeys) {
    sim::SimPlatform sim;
    Platform platform = sim.platform();
    EXPECT_TRUE(postJSON(sim.center, "com.corvala.app.pong", Json{{"pid", 7}, {"text", "选区 ✅"}}));
    EXPECT_EQ(sim.center.posts.at(0).object,
              std::optional<std::string>("{\"pid\":7,\"text\":\"选区 ✅\"}"));
    for (const Json& bad : {Json{{"text", "bad \xc3"}}, Json{{"x", std::nan("")}},
                            Json{{"x", std::numeric_limits<double>::infinity()}}}) {
        EXPECT_FALSE(postJSON(sim.center, "com.corvala.app.pong", bad));
    }
    ASSERT_EQ(sim.center.posts.size(), 1u);

    postDiagnostic(platform, "启动");
    EXPECT_EQ(sim.center.posts.back().name, "com.corvala.app.diagnostics");
    EXPECT_EQ(sim.center.posts.back().payload(), (Json{{"context", "启动"},
                                                       {"pid", 4242},
                                                       {"ppid", 4200},
                                                       {"execPath", "/opt/Glimwick/glimwick"},
                                                       {"bundlePath", "/opt/Glimwick"},
                                                       {"bundleID", "com.corvala.glimwick"},
                                                       {"macOS", "Version 14.5 (Build 23F79)"}}));
    sim.process.bundleID.reset();
    sim.process.args.clear();
    sim.process.ppid = 1;  // facts are read afresh for every diagnostic
    postDiagnostic(platform, "a");
    Json missing = sim.center.posts.back().payload();
    EXPECT_EQ(missing["bundleID"], "nil");
    EXPECT_EQ(missing["execPath"], "unknown");
    EXPECT_EQ(missing["ppid"], 1);
    EXPECT_TRUE(sim.console.lines.empty()) << "a diagnostic has no console line";
}

TEST(Posting, LogWritesOneLinePerLevelAndPostsAboveDebug) {
    sim::SimPlatform sim;
    Platform platform = sim.platform();
    logMessage(platform, LogLevel::debug, "d");
    logMessage(platform, LogLevel::info, "SelectionObserver started");
    logMessage(platform, LogLevel::warn, "轮询心跳 ✅");
    logMessage(platform, LogLevel::error, "");
    logMessage(platform, LogLevel::info, "bad \xff");  // its line all the same
    EXPECT_EQ(
        sim.console.lines,
        (std::vector<std::string>{
            "[SelectionObserver][DEBUG] d", "[SelectionObserver][INFO] SelectionObserver started",
            "[SelectionObserver][WARN] 轮询心跳 ✅", "[SelectionObserver][ERROR] ",
            "[SelectionObserver][INFO] bad \xff"}));
    ASSERT_EQ(sim.center.posts.size(), 3u);
    EXPECT_EQ(sim.center.posts[0].payload()["context"], "Observer: SelectionObserver started");
    EXPECT_EQ(sim.center.posts[1].payload()["context"], "Observer: 轮询心跳 ✅");
    EXPECT_EQ(sim.center.posts[2].payload()["context"], "Observer: ");
}

TEST(Messages, EveryTextAsTheMainAppsMatchOnIt) {
    using namespace msg;
    const Rect odd{-120.7, 5.9, -40.2, 20.99};
    for (const auto& [made, text] : std::vector<std::pair<std::string, std::string>>{
             {selectionDetected("选区文本", odd), "📝选区检测到: 选区文本... rect=(-120,5,40,20)"},
             {focusChangedBeforeCreation(100),
              "Focus changed before observer creation, skipping pid=100"},
             {observerCreateFailed(200, -25204), "Failed to create AXObserver for pid=200: -25204"},
             {addNotificationFailed("AXSelectedTextChanged", -25207),
              "Failed to add notification AXSelectedTextChanged: -25207"},
             {notificationsUnsupported(100),
              "Notifications unsupported for pid=100, falling back to polling"},
             {focusedAppLookupFailed(-25212), "Failed to get focused app PID via AX API: -25212"},
             {heartbeat(26, 100, 100, false, 100),
              "轮询心跳 #26: focusedPID=100 observedPID=100 hasObserver=false pollOnlyPID=100"},
             {focusedElementFailed(26, -25204), "AX获取焦点元素失败(#26): errorCode=-25204"},
             {selectionValidated("after", 30.9, -10.5),
              "Selection validated: after... at (30, -10)"},
             {invalidSelectionRect(Rect{40, 792.6, -3.5, 10000}),
              "Invalid selection rect: (40.0, 792.6, -3.5, 10000.0), ignored"},
             {formatDouble(0.1 + 0.2), "0.30000000000000004"},
             {formatDouble(-0.0), "-0.0"},
             {formatDouble(1e20), "100000000000000000000.0"},
             {truncated(1e20), "100000000000000000000.0"},
         }) {
        EXPECT_EQ(made, text);
    }
}

}  // namespace
}  // namespace glimwick
