#pragma once

#include <memory>
#include <string>
#include <vector>

#include "SimPlatform.h"
#include "app/HelperAppDelegate.h"
#include "service/HelperService.h"

namespace glimwick::sim {

// A helper process on the simulated platform: launch it, deliver commands, advance the clock,
// then read what it posted and printed.
class HelperHarness {
public:
    HelperHarness() { sim.application.setDelegate(delegate.get()); }

    void launch() { sim.application.finishLaunching(); }
    void send(const std::string& name, NotificationObject object = std::monostate{}) {
        sim.center.deliver(name, std::move(object));
        sim.queue.drain();
    }
    void advance(double seconds) { sim.queue.advance(seconds); }

    HelperService& service() { return *delegate->helperService; }

    std::vector<nlohmann::json> events(const std::string& name) const {
        std::vector<nlohmann::json> found;
        for (const auto& post : sim.center.posts) {
            if (post.name == name) {
                found.push_back(post.payload());
            }
        }
        return found;
    }
    // The "context" of every diagnostics notification, in order.
    std::vector<std::string> diagnostics() const {
        std::vector<std::string> contexts;
        for (const auto& payload : events("com.corvala.app.diagnostics")) {
            contexts.push_back(payload.value("context", ""));
        }
        return contexts;
    }
    void forget() {
        sim.center.posts.clear();
        sim.console.lines.clear();
        sim.journal.entries.clear();
    }

    SimPlatform sim;
    std::unique_ptr<HelperAppDelegate> delegate = std::make_unique<HelperAppDelegate>(sim.platform());
};

}  // namespace glimwick::sim
