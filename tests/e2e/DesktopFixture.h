#pragma once

#include <memory>
#include <string>
#include <vector>

#include "BusFixture.h"

namespace glimwick::testing {

// A private desktop for one test: Xvfb, a session bus, the accessibility bus (unless told
// otherwise), and a window manager, so that windows really get activated.
class DesktopFixture : public BusFixture {
protected:
    TestDesktop::Options options() const override {
        return {.display = true,
                .accessibility = withAccessibility(),
                .windowManager = true,
                .monitor = true};
    }
    void TearDown() override {
        helpers_.clear();
        windows_.clear();
        BusFixture::TearDown();
    }
    virtual bool withAccessibility() const { return true; }

    FixtureWindow& openWindow(const std::string& title, const std::string& option = "",
                              const std::map<std::string, std::string>& extraEnvironment = {}) {
        std::vector<std::string> argv{GLIMWICK_FIXTURE_PATH, title};
        if (!option.empty()) {
            argv.push_back(option);
        }
        auto environment = busEnvironment();
        for (const auto& [name, value] : extraEnvironment) {
            environment[name] = value;
        }
        windows_.push_back(std::make_unique<FixtureWindow>(argv, environment));
        EXPECT_TRUE(windows_.back()->ready()) << windows_.back()->startFailure();
        return *windows_.back();
    }
    void activate(FixtureWindow& window) {
        ASSERT_TRUE(window.activate(busEnvironment())) << "window never became active";
    }
    std::string busTraffic() const { return desktop_.busTraffic(); }

    std::vector<std::unique_ptr<FixtureWindow>> windows_;
};

}  // namespace glimwick::testing
