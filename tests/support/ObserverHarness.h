#pragma once

#include <memory>
#include <string>
#include <vector>

#include "SimPlatform.h"
#include "observer/SelectionObserver.h"

namespace glimwick::sim {

// A selection observer on the simulated desktop, with two applications and text elements, and
// a record of its events.
class ObserverHarness {
public:
    static constexpr Pid kOwner = 4242;
    static constexpr Pid kAppA = 100;
    static constexpr Pid kAppB = 200;

    struct Change {
        std::string text;
        Rect rect;
    };

    explicit ObserverHarness(bool withClearedCallback = true) {
        appA = sim.desktop.addApplication(kAppA, "TextEdit");
        appB = sim.desktop.addApplication(kAppB, "Notes");
        windowA = sim.desktop.addElement(appA, "AXWindow");
        textA = sim.desktop.addElement(windowA, "AXTextArea");
        textB = sim.desktop.addElement(sim.desktop.addElement(appB, "AXWindow"), "AXTextArea");
        SelectionObserver::ClearedCallback cleared;
        if (withClearedCallback) {
            cleared = [this] { ++clears; };
        }
        observer = SelectionObserver::create(
            sim.platform(), kOwner,
            [this](const std::string& text, const Rect& rect) {
                changes.push_back({text, rect});
            },
            cleared);
    }

    // Keyboard focus on element, and its application in front.
    void focus(const ax::ElementRef& element, Pid pid) {
        sim.desktop.focus(element);
        sim.workspace.frontmost = RunningApplication{pid, std::nullopt};
    }
    void select(const ax::ElementRef& element, const std::string& text, Rect bounds) {
        sim.desktop.setSelection(element, text, ax::Range{0, 1}, bounds);
    }
    void deselect(const ax::ElementRef& element) {
        sim.desktop.set(element, "AXSelectedText", {ax::kAXErrorSuccess, std::string()});
        sim.desktop.set(element, "AXSelectedTextRange",
                        {ax::kAXErrorSuccess, ax::AXValue::range({0, 0})});
    }
    size_t readings() const { return sim.desktop.countOf("copy", "AXSelectedText"); }
    std::vector<std::string> linesContaining(const std::string& part) const {
        std::vector<std::string> found;
        for (const auto& line : sim.console.lines) {
            if (line.find(part) != std::string::npos) {
                found.push_back(line);
            }
        }
        return found;
    }

    SimPlatform sim;
    ax::ElementRef appA, appB, windowA, textA, textB;
    std::vector<Change> changes;
    int clears = 0;
    std::shared_ptr<SelectionObserver> observer;
};

}  // namespace glimwick::sim
