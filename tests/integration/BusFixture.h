#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "TestDesktop.h"

namespace glimwick::testing {

// A private session for one test, and a client on its bus that plays the main app.
class BusFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // What the session has besides its bus.
    virtual TestDesktop::Options options() const { return {}; }

    // Starts the helper in this session.
    ChildProcess& startHelper();
    // Waits for the helper's start diagnostic, after which its commands are registered.
    void waitForHelperReady(const ChildProcess& helper);
    bool waitForLine(const ChildProcess& process, const std::string& line,
                     std::chrono::milliseconds timeout = std::chrono::seconds(15));

    void emit(const std::string& name, GVariant* body) { client_->emit(name, body); }
    void post(const std::string& name, const std::optional<std::string>& object) {
        client_->post(name, object);
    }
    std::vector<Event> eventsNamed(const std::string& name) const {
        return client_->eventsNamed(name);
    }
    std::vector<std::string> diagnosticsOf(pid_t pid) const { return client_->diagnosticsOf(pid); }
    bool waitForEvent(const std::string& name, size_t count = 1,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return client_->waitForEvent(name, count, timeout);
    }
    bool waitForDiagnostic(const std::string& context,
                           std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return client_->waitForDiagnostic(context, timeout);
    }
    bool roundTrip() { return client_->roundTrip(); }
    std::map<std::string, std::string> busEnvironment() const { return desktop_.environment(); }

    TestDesktop desktop_;
    std::unique_ptr<BusClient> client_;
    std::vector<std::unique_ptr<ChildProcess>> helpers_;
};

}  // namespace glimwick::testing
