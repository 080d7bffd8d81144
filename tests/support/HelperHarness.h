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
    static constexpr Pid kMainApp = 300;
    static constexpr Pid kTextApp = 100;

    HelperHarness() {
        sim.application.setDelegate(delegate.get());
        textApp = sim.desktop.addApplication(kTextApp, "TextEdit");
        textArea =
            sim.desktop.addElement(sim.desktop.addElement(textApp, "AXWindow"), "AXTextArea");
        mainApp = sim.desktop.addApplication(kMainApp, "Corvala");
    }

    // The text area of TextEdit focused and in front, holding a selection.
    void selectInTextApp(const std::string& text, Rect bounds) {
        sim.desktop.focus(textArea);
        sim.workspace.frontmost = RunningApplication{kTextApp, std::string("TextEdit")};
        sim.desktop.setSelection(textArea, text, ax::Range{0, 1}, bounds);
    }
    void startMonitoring(const std::string& object = "{\"appPID\": 300}") {
        send("com.corvala.helper.startMonitoring", object);
    }

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
    ax::ElementRef textApp, textArea, mainApp;
    std::unique_ptr<HelperAppDelegate> delegate =
        std::make_unique<HelperAppDelegate>(sim.platform());
};

}  // namespace glimwick::sim
