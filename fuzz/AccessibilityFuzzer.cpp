// Arbitrary accessibility answers into a monitoring helper's observer: strings that are not
// UTF-8, huge texts, NaN and infinite rectangles, values of the wrong kind, any error code.
//
// Input: lines, each setting one answer of the simulated desktop or acting:
//   focus=element | focus=error:N | focus=none | focus=other      the focused element
//   text=BYTES | text=error:N | text=other | text=attributed:BYTES AXSelectedText
//   grow=N          repeat the selected text until it has N bytes (at most 10 MB)
//   range=LOC,LEN | range=rect | range=other | range=none         AXSelectedTextRange
//   string=BYTES | string=error:N                                  AXStringForRange
//   attributed=BYTES | attributed=plain:BYTES | attributed=error:N AXAttributedStringForRange
//   bounds=X,Y,W,H | bounds=error:N | bounds=range                 AXBoundsForRange (nan, inf ok)
//   role=R | parent=R                   roles of the element and of its parent
//   pointer=X,Y | front=PID | norange
//   eval | tick | notify                run a check, a poll tick, or send a notification

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Harness.h"
#include "common/Text.h"
#include "observer/SelectionObserver.h"

namespace {

using glimwick::Rect;
namespace ax = glimwick::ax;

double number(std::string_view text) {
    return std::strtod(std::string(text).c_str(), nullptr);
}

// A whole number, saturated at the 64-bit limits (strtoll's own behaviour).
std::int64_t whole(std::string_view text) {
    return std::strtoll(std::string(text).c_str(), nullptr, 10);
}

std::int32_t code(std::string_view text) {
    return static_cast<std::int32_t>(std::strtol(std::string(text).c_str(), nullptr, 10));
}

// "a,b,c,d" into up to four numbers.
void numbers(std::string_view text, double* out, int count) {
    for (int i = 0; i < count; ++i) {
        size_t comma = text.find(',');
        out[i] = number(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    }
}

bool starts(std::string_view text, std::string_view prefix, std::string_view& rest) {
    if (text.substr(0, prefix.size()) != prefix) {
        return false;
    }
    rest = text.substr(prefix.size());
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    glimwick::sim::Harness helper;
    helper.launch();
    helper.selectInTextApp("seed text", Rect{10, 10, 100, 12});
    helper.startMonitoring();
    auto& desktop = helper.sim.desktop;
    const ax::ElementRef& element = helper.textA;
    ax::ElementRef parent = desktop.addElement(helper.appA, "AXGroup");
    desktop.set(element, "AXParent", {0, parent});
    auto observer = helper.service().selectionObserver();
    std::string text = "seed text";
    glimwick::TextSegmenter segmenter;

    std::string_view input(reinterpret_cast<const char*>(data), size);
    while (!input.empty()) {
        size_t end = input.find('\n');
        std::string_view line = input.substr(0, end);
        input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
        std::string_view v;
        if (starts(line, "focus=", v)) {
            if (v == "element") {
                desktop.focusedElementAnswer = ax::Answer{0, element};
            } else if (v == "none") {
                desktop.focusedElementAnswer = ax::Answer{0, std::nullopt};
            } else if (v == "other") {
                desktop.focusedElementAnswer = ax::Answer{0, ax::OtherValue{}};
            } else if (starts(v, "error:", v)) {
                desktop.focusedElementAnswer = ax::Answer{code(v), std::nullopt};
            }
        } else if (starts(line, "text=", v)) {
            if (v == "other") {
                desktop.set(element, "AXSelectedText", {0, ax::OtherValue{}});
            } else if (starts(v, "error:", v)) {
                desktop.set(element, "AXSelectedText", {code(v), std::string("ignored")});
            } else if (starts(v, "attributed:", v)) {
                desktop.set(element, "AXSelectedText", {0, ax::AttributedString{std::string(v)}});
            } else {
                text = std::string(v);
                desktop.set(element, "AXSelectedText", {0, text});
            }
        } else if (starts(line, "grow=", v)) {
            size_t target =
                static_cast<size_t>(std::clamp<std::int64_t>(whole(v), 0, std::int64_t{10} << 20));
            if (!text.empty()) {
                while (text.size() < target) {
                    text += text.substr(0, target - text.size());
                }
            }
            desktop.set(element, "AXSelectedText", {0, text});
        } else if (starts(line, "range=", v)) {
            if (v == "rect") {
                desktop.set(element, "AXSelectedTextRange", {0, ax::AXValue::rect({1, 2, 3, 4})});
            } else if (v == "other") {
                desktop.set(element, "AXSelectedTextRange", {0, std::string("range")});
            } else if (v == "none") {
                desktop.unset(element, "AXSelectedTextRange");
            } else {
                size_t comma = v.find(',');
                std::int64_t location = whole(v.substr(0, comma));
                std::int64_t length =
                    comma == std::string_view::npos ? 0 : whole(v.substr(comma + 1));
                desktop.set(element, "AXSelectedTextRange",
                            {0, ax::AXValue::range({location, length})});
            }
        } else if (starts(line, "string=", v)) {
            if (starts(v, "error:", v)) {
                desktop.setParameterized(element, "AXStringForRange", {code(v), std::nullopt});
            } else {
                desktop.setParameterized(element, "AXStringForRange", {0, std::string(v)});
            }
        } else if (starts(line, "attributed=", v)) {
            if (starts(v, "error:", v)) {
                desktop.setParameterized(element, "AXAttributedStringForRange",
                                         {code(v), std::nullopt});
            } else if (starts(v, "plain:", v)) {
                desktop.setParameterized(element, "AXAttributedStringForRange",
                                         {0, std::string(v)});
            } else {
                desktop.setParameterized(element, "AXAttributedStringForRange",
                                         {0, ax::AttributedString{std::string(v)}});
            }
        } else if (starts(line, "bounds=", v)) {
            if (starts(v, "error:", v)) {
                desktop.setParameterized(element, "AXBoundsForRange", {code(v), std::nullopt});
            } else if (v == "range") {
                desktop.setParameterized(element, "AXBoundsForRange",
                                         {0, ax::AXValue::range({0, 1})});
            } else {
                double r[4];
                numbers(v, r, 4);
                desktop.setParameterized(element, "AXBoundsForRange",
                                         {0, ax::AXValue::rect(Rect{r[0], r[1], r[2], r[3]})});
            }
        } else if (starts(line, "role=", v)) {
            desktop.set(element, "AXRole", {0, std::string(v)});
        } else if (starts(line, "parent=", v)) {
            desktop.set(parent, "AXRole", {0, std::string(v)});
        } else if (starts(line, "pointer=", v)) {
            double p[2];
            numbers(v, p, 2);
            helper.sim.workspace.pointer = glimwick::Point{p[0], p[1]};
        } else if (starts(line, "front=", v)) {
            helper.sim.workspace.frontmost = glimwick::RunningApplication{code(v), std::nullopt};
        } else if (line == "norange") {
            desktop.failRangeCreation = true;
        } else if (line == "eval") {
            observer->evaluateSelection();
        } else if (line == "tick") {
            helper.advance(0.4);
        } else if (line == "notify") {
            desktop.fire(glimwick::sim::Harness::kAppA, "AXSelectedTextChanged");
            helper.advance(0.25);
        }
        // The console only ever carries a 30-character prefix of a longer selection.
        if (segmenter.prefix(text, 30).size() < text.size()) {
            for (const auto& written : helper.sim.console.lines) {
                if (written.size() >= text.size() && written.find(text) != std::string::npos) {
                    std::abort();
                }
            }
        }
        helper.forget();
    }
    return 0;
}
