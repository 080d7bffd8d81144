#include "BusFixture.h"

namespace glimwick::testing {

void BusFixture::SetUp() {
    std::string failed = desktop_.start(options());
    ASSERT_EQ(failed, "");
    client_ = std::make_unique<BusClient>();
    failed = client_->connect(desktop_.busAddress());
    ASSERT_EQ(failed, "");
}

void BusFixture::TearDown() {
    helpers_.clear();
    client_.reset();
    desktop_.stop();
}

ChildProcess& BusFixture::startHelper() {
    helpers_.push_back(std::make_unique<ChildProcess>(
        std::vector<std::string>{GLIMWICK_HELPER_PATH}, busEnvironment()));
    EXPECT_TRUE(helpers_.back()->started()) << helpers_.back()->startError();
    return *helpers_.back();
}

void BusFixture::waitForHelperReady(const ChildProcess& helper) {
    pid_t pid = helper.pid();
    ASSERT_TRUE(waitUntil(
        [&] {
            auto contexts = diagnosticsOf(pid);
            return std::find(contexts.begin(), contexts.end(), "启动") != contexts.end();
        },
        std::chrono::seconds(20)))
        << "helper did not start; stderr: " << helper.stderrText();
}

bool BusFixture::waitForLine(const ChildProcess& process, const std::string& line,
                             std::chrono::milliseconds timeout) {
    return waitUntil(
        [&] {
            auto lines = process.stdoutLines();
            return std::find(lines.begin(), lines.end(), line) != lines.end();
        },
        timeout);
}

}  // namespace glimwick::testing
