// Commands from any process on the session bus: malformed bodies, huge and deep objects,
// numbers at the edges, and floods. After each barrage the helper still answers, keeps the
// state it must keep, and gives the memory back.

#include <unistd.h>

#include <algorithm>

#include "BusFixture.h"
#include "protocol/Catalogue.h"

namespace glimwick::testing {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

class HostileBus : public BusFixture {
protected:
    void SetUp() override {
        BusFixture::SetUp();
        helper_ = &startHelper();
        waitForHelperReady(*helper_);
        // Past the start-up status, so that every later one answers something we sent.
        ASSERT_TRUE(waitForEvent("com.corvala.app.permissionStatus"));
        baseline_ = residentKiB(helper_->pid());
    }
    size_t count(const std::string& context) {
        auto contexts = diagnosticsOf(helper_->pid());
        return static_cast<size_t>(std::count(contexts.begin(), contexts.end(), context));
    }
    // Still running, still answering, nothing monitoring (no accessibility here), and the
    // memory given back.
    void expectUnharmed() {
        ASSERT_TRUE(roundTrip()) << helper_->stderrText();
        EXPECT_FALSE(helper_->exitStatus());
        EXPECT_EQ(count("✅监听已启动 mainAppPID=0 helperPID=" + std::to_string(helper_->pid())),
                  0u);
#if defined(__SANITIZE_ADDRESS__)
        // AddressSanitizer keeps freed memory in quarantine, so resident memory stays up by
        // design; its leak check at an orderly exit stands in (status 0 means no leak).
        post("com.corvala.helper.shutdownIfMismatch", R"({"expectedBundlePath": "/elsewhere"})");
        ASSERT_TRUE(helper_->waitForExit(30s));
        EXPECT_EQ(helper_->exitStatus(), 0) << helper_->stderrText();
#else
        EXPECT_LT(residentKiB(helper_->pid()) - baseline_, 16 * 1024) << "KiB more than at start";
#endif
    }

    ChildProcess* helper_ = nullptr;
    long baseline_ = 0;
};

TEST_F(HostileBus, BodiesThatAreNotOneStringCountAsNoObject) {
    for (const char* name : names::kAllCommands) {
        emit(name, g_variant_new("(i)", 7));
        emit(name, g_variant_new("(ss)", "{}", "{}"));
        emit(name, g_variant_new_parsed("(@as [],)"));
        emit(name, g_variant_new("(s)", ""));
        emit(name, nullptr);
    }
    ASSERT_TRUE(roundTrip());
    // Each shutdown command judged its request invalid, five times.
    EXPECT_EQ(count("⚠️ 收到 shutdownIfMismatch 但参数无效"), 5u);
    EXPECT_EQ(count("⚠️ 收到 shutdownRedundant 但参数无效"), 5u);
    // Five pings answered (and the round trip's).
    EXPECT_EQ(eventsNamed("com.corvala.app.pong").size(), 6u);
    for (const auto& pong : eventsNamed("com.corvala.app.pong")) {
        EXPECT_EQ(pong.payload["pid"], helper_->pid());
    }
    expectUnharmed();
}

TEST_F(HostileBus, HugeAndDeepObjectsAreRefusedWithoutHarm) {
    std::string huge = "{\"expectedBundlePath\": \"" + std::string(10 << 20, 'x') + "\"}";
    std::string deep = std::string(100000, '[') + std::string(100000, ']');
    std::string deepInObject = "{\"appPID\": " + deep + ", \"expectedBundlePath\": " + deep + "}";
    // Each command handled before the next (a flood beyond the helper's inbox is dropped),
    // and the one that makes this copy go last.
    std::vector<std::string> order(std::begin(names::kAllCommands), std::end(names::kAllCommands));
    std::stable_partition(order.begin(), order.end(), [](const std::string& name) {
        return name != names::kShutdownIfMismatch;
    });
    for (const std::string& name : order) {
        post(name, huge);
        post(name, deep);
        post(name, deepInObject);
        if (name != names::kShutdownIfMismatch) {
            ASSERT_TRUE(roundTrip());
        }
    }
    EXPECT_EQ(count("⚠️ 收到 shutdownRedundant 但参数无效"), 3u);
    // The huge path is a string: a mismatch, so this copy decides to go. Everything else is
    // invalid.
    EXPECT_TRUE(waitUntil(
        [&] { return count("⚠️ 收到 shutdownIfMismatch 但参数无效") == 2; }, 30s));
    ASSERT_TRUE(helper_->waitForExit(10s));
    EXPECT_EQ(helper_->exitStatus(), 0);
}

TEST_F(HostileBus, InvalidJSONOfEveryKind) {
    const std::vector<std::string> broken = {"",
                                             " ",
                                             "{",
                                             "}",
                                             "{\"keepPID\": }",
                                             "{\"keepPID\": 1,}",
                                             "{'keepPID': 1}",
                                             "{\"keepPID\": 01}",
                                             "{\"keepPID\": 1e}",
                                             "{\"keepPID\": NaN}",
                                             "{\"keepPID\": Infinity}",
                                             "{\"a\": \"\\ud800\"}",
                                             "{\"a\": \"\\x41\"}",
                                             "{\"a\": \"tab\there\"}",
                                             "{} {}",
                                             "{\"expectedBundlePath\": \"/p\"} trailing",
                                             "null",
                                             "true",
                                             "\"string\"",
                                             "[]",
                                             "[\"/opt/Other\"]",
                                             "123",
                                             "\xef\xbb\xbf{}",
                                             "{\"expectedBundlePath\": \"\\u0000\"}"};
    for (const auto& text : broken) {
        post("com.corvala.helper.shutdownRedundant", text);
        // The last one is a valid mismatch request (a path of one NUL), which would end us.
        if (&text != &broken.back()) {
            post("com.corvala.helper.shutdownIfMismatch", text);
        }
    }
    // Valid JSON, yet no keepPID: invalid, before any path comparison.
    post("com.corvala.helper.shutdownRedundant", R"({"expectedBundlePath": "/opt/Other"})");
    ASSERT_TRUE(roundTrip());
    EXPECT_EQ(count("⚠️ 收到 shutdownRedundant 但参数无效"), broken.size() + 1);
    EXPECT_EQ(count("⚠️ 收到 shutdownIfMismatch 但参数无效"), broken.size() - 1);
    expectUnharmed();
}

TEST_F(HostileBus, TenThousandMixedCommandsAsFastAsTheBusTakesThem) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> mix = {
        {"com.corvala.helper.ping", std::nullopt},
        {"com.corvala.helper.checkPermission", std::nullopt},
        {"com.corvala.helper.startMonitoring", R"({"appPID": 4})"},
        {"com.corvala.helper.stopMonitoring", std::nullopt},
        {"com.corvala.helper.shutdownIfMismatch", "[]"},
        {"com.corvala.helper.shutdownRedundant",
         R"({"expectedBundlePath": "/elsewhere", "keepPID": 1})"},
        {"com.corvala.helper.ping", "garbage"},
        {"com.corvala.helper.shutdownRedundant", "{"},
    };
    const size_t total = 10000;
    for (size_t i = 0; i < total; ++i) {
        const auto& [name, object] = mix[i % mix.size()];
        client_->emit(name, object ? g_variant_new("(s)", object->c_str()) : nullptr, false);
    }
    client_->flush();
    const size_t pings = total / mix.size() * 2;
    ASSERT_TRUE(waitForEvent("com.corvala.app.pong", pings, 60s))
        << eventsNamed("com.corvala.app.pong").size() << " pongs";
    // Every check and every refused start answered with a status, in order, none lost.
    const size_t statuses = 1 + total / mix.size() * 2;
    ASSERT_TRUE(waitForEvent("com.corvala.app.permissionStatus", statuses, 60s));
    ASSERT_TRUE(roundTrip());  // the flood ends with a command answered after its last pong
    EXPECT_EQ(count("⚠️ 收到 shutdownIfMismatch 但参数无效"), total / mix.size());
    EXPECT_EQ(count("⚠️ 收到 shutdownRedundant 但参数无效"), total / mix.size());
    expectUnharmed();
}

}  // namespace
}  // namespace glimwick::testing
