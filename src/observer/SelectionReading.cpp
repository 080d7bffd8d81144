// Reading the focused element's selected text and its bounds.

#include "diagnostics/Messages.h"
#include "observer/SelectionObserver.h"

namespace glimwick {

namespace {

constexpr std::int64_t kFailureLogPeriod = 25;
constexpr double kFallbackWidth = 40;
constexpr double kFallbackHeight = 20;

const std::string* nonEmptyString(const ax::Answer& answer) {
    if (answer.error != ax::kAXErrorSuccess || !answer.value) {
        return nullptr;
    }
    const auto* text = std::get_if<std::string>(&*answer.value);
    return text != nullptr && !text->empty() ? text : nullptr;
}

}  // namespace

std::optional<SelectionSnapshot> SelectionObserver::readSelection() {
    ax::Accessibility& accessibility = platform_.accessibility;
    ax::Answer focused = accessibility.copyAttributeValue(accessibility.createSystemWide(),
                                                          ax::kAXFocusedUIElementAttribute);
    const ax::ElementRef* element = ax::elementIn(focused);
    if (element == nullptr) {
        ++axFailCount_;
        if (axFailCount_ % kFailureLogPeriod == 1) {
            log(LogLevel::warn, msg::focusedElementFailed(axFailCount_, focused.error));
        }
        return std::nullopt;
    }
    axFailCount_ = 0;

    std::optional<ax::Value> rangeSlot;
    std::optional<std::string> text = readSelectedText(*element, rangeSlot);
    if (!text || text->empty()) {
        return std::nullopt;
    }

    ax::Answer range =
        accessibility.copyAttributeValue(*element, ax::kAXSelectedTextRangeAttribute);
    if (range.value) {
        rangeSlot = std::move(range.value);
    }

    std::optional<ax::Value> parameter = rangeSlot;
    if (!parameter) {
        auto whole = accessibility.createRangeValue(ax::Range{0, text_.count(*text)});
        if (!whole) {
            return std::nullopt;
        }
        parameter = *whole;
    }

    Rect rect{};
    ax::Answer bounds = accessibility.copyParameterizedAttributeValue(
        *element, ax::kAXBoundsForRangeParameterizedAttribute, *parameter);
    if (bounds.succeededWithValue()) {
        if (const auto* value = std::get_if<ax::AXValue>(&*bounds.value)) {
            rect = value->asRect().value_or(Rect{});
        }
    }

    // A NaN size passes this test, as the comparisons are written.
    if (!(rectWidth(rect) <= 0) && !(rectHeight(rect) <= 0)) {
        return SelectionSnapshot{std::move(*text), rect, false};
    }
    Point pointer = platform_.workspace.mouseLocation();
    Rect fallback{pointer.x - kFallbackWidth / 2, pointer.y - kFallbackHeight / 2, kFallbackWidth,
                  kFallbackHeight};
    return SelectionSnapshot{std::move(*text), fallback, true};
}

std::optional<std::string> SelectionObserver::readSelectedText(
    const ax::ElementRef& element, std::optional<ax::Value>& rangeSlot) {
    ax::Accessibility& accessibility = platform_.accessibility;
    ax::Answer selected = accessibility.copyAttributeValue(element, ax::kAXSelectedTextAttribute);
    if (const auto* text = nonEmptyString(selected)) {
        return *text;
    }

    if (!rangeSlot) {
        rangeSlot =
            accessibility.copyAttributeValue(element, ax::kAXSelectedTextRangeAttribute).value;
        if (!rangeSlot) {
            return std::nullopt;
        }
    }
    const auto* value = std::get_if<ax::AXValue>(&*rangeSlot);
    if (value == nullptr) {
        return std::nullopt;
    }
    auto range = value->asRange();
    if (!range || range->length < 1) {
        return std::nullopt;
    }

    ax::Answer forRange = accessibility.copyParameterizedAttributeValue(
        element, ax::kAXStringForRangeParameterizedAttribute, *rangeSlot);
    if (const auto* text = nonEmptyString(forRange)) {
        return *text;
    }

    ax::Answer attributed = accessibility.copyParameterizedAttributeValue(
        element, ax::kAXAttributedStringForRangeParameterizedAttribute, *rangeSlot);
    if (attributed.error != ax::kAXErrorSuccess || !attributed.value) {
        return std::nullopt;
    }
    if (const auto* rich = std::get_if<ax::AttributedString>(&*attributed.value);
        rich != nullptr && !rich->string.empty()) {
        return rich->string;
    }
    if (const auto* plain = std::get_if<std::string>(&*attributed.value);
        plain != nullptr && !plain->empty()) {
        return *plain;
    }
    return std::nullopt;
}

}  // namespace glimwick
