#pragma once

#include <memory>
#include <string>
#include <vector>

#include "SimPlatform.h"
#include "app/HelperAppDelegate.h"
#include "observer/SelectionObserver.h"
#include "service/HelperService.h"

namespace glimwick::sim {

// The simulated desktop with two text applications and the main app, and either the whole
// helper (launch, send commands, advance the clock) or a selection observer alone (observe).
class Harness {
public:
    static constexpr Pid kOwner = 4242;  // the helper itself
    static constexpr Pid kAppA = 100;
    static constexpr Pid kAppB = 200;
    static constexpr Pid kMainApp = 300;

    Harness() {
        sim.application.setDelegate(delegate.get());
        appA = sim.desktop.addApplication(kAppA, "TextEdit");
        windowA = sim.desktop.addElement(appA, "AXWindow");
        textA = sim.desktop.addElement(windowA, "AXTextArea");
        textB = sim.desktop.addElement(
            sim.desktop.addElement(sim.desktop.addApplication(kAppB, "Notes"), "AXWindow"),
            "AXTextArea");
        sim.desktop.addApplication(kMainApp, "Corvala");
    }

    // A selection observer of its own, recording what it reports.
    SelectionObserver& observe() {
        observer = SelectionObserver::create(
            sim.platform(), kOwner,
            [this](const std::string& text, const Rect& rect) {
                changes.push_back({text, rect});
            },
            [this] { ++clears; });
        return *observer;
    }

    // Keyboard focus on element, and its application in front.
    void focus(const ax::ElementRef& element, Pid pid, std::optional<std::string> name = {}) {
        sim.desktop.focus(element);
        sim.workspace.frontmost = RunningApplication{pid, std::move(name)};
    }
    void select(const ax::ElementRef& element, const std::string& text, Rect bounds) {
        sim.desktop.setSelection(element, text, ax::Range{0, 1}, bounds);
    }
    void deselect(const ax::ElementRef& element) {
        sim.desktop.set(element, "AXSelectedText", {0, std::string()});
        sim.desktop.set(element, "AXSelectedTextRange", {0, ax::AXValue::range({0, 0})});
    }
    // TextEdit focused and in front, holding a selection.
    void selectInTextApp(const std::string& text, Rect bounds) {
        focus(textA, kAppA, "TextEdit");
        select(textA, text, bounds);
    }
    size_t readings() const { return sim.desktop.count("copy AXSelectedText"); }

    void launch() { sim.application.finishLaunching(); }
    void send(const std::string& name, NotificationObject object = std::monostate{}) {
        sim.center.deliver(name, std::move(object));
        sim.queue.drain();
    }
    void startMonitoring(const std::string& object = "{\"appPID\": 300}") {
        send("com.corvala.helper.startMonitoring", object);
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
    // The "context" of every diagnostic whose context holds part, in order.
    std::vector<std::string> diagnostics(const std::string& part = "") const {
        std::vector<std::string> found;
        for (const auto& payload : events("com.corvala.app.diagnostics")) {
            std::string context = payload.value("context", "");
            if (context.find(part) != std::string::npos) {
                found.push_back(context);
            }
        }
        return found;
    }
    std::vector<std::string> lines(std::string_view part) const {
        std::vector<std::string> found;
        for (const auto& line : sim.console.lines) {
            if (line.find(part) != std::string::npos) {
                found.push_back(line);
            }
        }
        return found;
    }
    void forget() {
        sim.center.posts.clear();
        sim.console.lines.clear();
    }

    struct Change {
        std::string text;
        Rect rect;
    };

    SimPlatform sim;
    ax::ElementRef appA, windowA, textA, textB;
    std::vector<Change> changes;
    int clears = 0;
    std::shared_ptr<SelectionObserver> observer;
    std::unique_ptr<HelperAppDelegate> delegate =
        std::make_unique<HelperAppDelegate>(sim.platform());
};

}  // namespace glimwick::sim
