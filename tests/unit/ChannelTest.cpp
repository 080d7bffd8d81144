// Decoding command arguments and encoding events.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "SimPlatform.h"
#include "protocol/Message.h"

namespace glimwick {
namespace {

std::optional<Json> decode(NotificationObject object) {
    return decodeArguments(Notification{"com.corvala.helper.startMonitoring", std::move(object)});
}

TEST(DecodeArguments, OnlyAStringHoldingAJSONObjectGivesArguments) {
    EXPECT_FALSE(decode(std::monostate{}));
    EXPECT_FALSE(decode(NonStringObject{}));
    EXPECT_FALSE(decode(std::string("")));
    EXPECT_FALSE(decode(std::string("{\"appPID\": 12")));
    EXPECT_FALSE(decode(std::string("[{\"appPID\": 12}]")));
    EXPECT_FALSE(decode(std::string("12")));
    EXPECT_FALSE(decode(std::string("\"text\"")));
    EXPECT_FALSE(decode(std::string("null")));
    EXPECT_FALSE(decode(std::string("{\"a\": \"\xff\"}")));  // not UTF-8

    auto arguments = decode(std::string(" {\"appPID\": 12, \"other\": [1, 2]} "));
    ASSERT_TRUE(arguments);
    EXPECT_EQ((*arguments)["appPID"], 12);
}

TEST(DecodeArguments, DeepNestingIsRefusedWithoutCrashing) {
    std::string deep = "{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
    EXPECT_TRUE(decode(deep));
    EXPECT_FALSE(decode(std::string(100000, '[')));
}

TEST(WholeNumber, AcceptsIntegralNumbersInRangeOnly) {
    const std::int64_t lo = std::numeric_limits<std::int32_t>::min();
    const std::int64_t hi = std::numeric_limits<std::int32_t>::max();
    EXPECT_EQ(wholeNumber(Json::parse("123"), lo, hi), 123);
    EXPECT_EQ(wholeNumber(Json::parse("123.0"), lo, hi), 123);
    EXPECT_EQ(wholeNumber(Json::parse("-0"), lo, hi), 0);
    EXPECT_EQ(wholeNumber(Json::parse("-0.0"), lo, hi), 0);
    EXPECT_EQ(wholeNumber(Json::parse("2147483647"), lo, hi), hi);
    EXPECT_FALSE(wholeNumber(Json::parse("2147483648"), lo, hi));
    EXPECT_FALSE(wholeNumber(Json::parse("123.5"), lo, hi));
    EXPECT_FALSE(wholeNumber(Json::parse("true"), lo, hi));
    EXPECT_FALSE(wholeNumber(Json::parse("\"123\""), lo, hi));
    EXPECT_FALSE(wholeNumber(Json::parse("null"), lo, hi));

    const std::int64_t min64 = std::numeric_limits<std::int64_t>::min();
    const std::int64_t max64 = std::numeric_limits<std::int64_t>::max();
    EXPECT_EQ(wholeNumber(Json::parse("9223372036854775807"), min64, max64), max64);
    EXPECT_EQ(wholeNumber(Json::parse("-9223372036854775808"), min64, max64), min64);
    EXPECT_FALSE(wholeNumber(Json::parse("9223372036854775808"), min64, max64));
    EXPECT_FALSE(wholeNumber(Json::parse("18446744073709551615"), min64, max64));
    EXPECT_FALSE(wholeNumber(Json::parse("1e300"), min64, max64));
    EXPECT_FALSE(wholeNumber(Json(std::numeric_limits<double>::infinity()), min64, max64));
    EXPECT_FALSE(wholeNumber(Json(std::nan("")), min64, max64));
}

TEST(PostJSON, PostsCompactObjectTextAndDropsWhatCannotBeEncoded) {
    sim::SimPlatform sim;
    EXPECT_TRUE(postJSON(sim.center, "com.corvala.app.pong", Json{{"pid", 7}, {"text", "选区 ✅"}}));
    ASSERT_EQ(sim.center.posts.size(), 1u);
    EXPECT_EQ(sim.center.posts[0].object,
              std::optional<std::string>("{\"pid\":7,\"text\":\"选区 ✅\"}"));

    EXPECT_FALSE(postJSON(sim.center, "com.corvala.app.pong", Json{{"text", "bad \xc3"}}));
    EXPECT_FALSE(postJSON(sim.center, "com.corvala.app.pong", Json{{"x", std::nan("")}}));
    EXPECT_FALSE(postJSON(sim.center, "com.corvala.app.pong",
                          Json{{"x", std::numeric_limits<double>::infinity()}}));
    EXPECT_EQ(sim.center.posts.size(), 1u);
}

}  // namespace
}  // namespace glimwick
