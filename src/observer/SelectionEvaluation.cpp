// Turning a reading into a changed or cleared event: length, repeats, excluded controls and
// implausible rectangles are filtered here.

#include "diagnostics/Messages.h"
#include "observer/SelectionObserver.h"

namespace glimwick {

namespace {

constexpr std::int64_t kMinimumCharacters = 2;
constexpr std::int64_t kLogPrefix = 30;
constexpr double kMaxExtent = 10000;
constexpr double kMinY = -5000;
constexpr double kMaxY = 10000;

// Midpoints must also be representable as integers, for the signature and the log line.
bool isValidRect(const Rect& rect) {
    double width = rectWidth(rect);
    double height = rectHeight(rect);
    return width > 0 && width < kMaxExtent && height > 0 && height < kMaxExtent &&
           rectMinY(rect) > kMinY && rectMaxY(rect) < kMaxY && fitsInt64(rectMidX(rect)) &&
           fitsInt64(rectMidY(rect));
}

// The element's role, or "" when it cannot be read as a string.
std::string roleOf(ax::Accessibility& accessibility, const ax::ElementRef& element) {
    ax::Answer role = accessibility.copyAttributeValue(element, ax::kAXRoleAttribute);
    const auto* name = role.succeededWithValue() ? std::get_if<std::string>(&*role.value) : nullptr;
    return name != nullptr ? *name : std::string();
}

}  // namespace

// The hash covers the whole text: two selections that differ only past their start (a
// selection grown by a character, under a pointer rectangle or the same box) are different.
std::string SelectionObserver::signatureOf(const SelectionSnapshot& snapshot) {
    std::string hash = std::to_string(canonicalHash(snapshot.text));
    if (snapshot.usesFallbackRect) {
        return hash + "_fallback";
    }
    return hash + "_" + msg::truncated(rectMidX(snapshot.rect)) + "_" +
           msg::truncated(rectMidY(snapshot.rect));
}

void SelectionObserver::evaluateSelection() {
    std::optional<SelectionSnapshot> snapshot = readSelection();
    if (!snapshot) {
        ++emptySelectionStreak_;
        if (emptySelectionStreak_ >= emptySelectionHideThreshold) {
            clearSelection("empty_selection_threshold");
            emptySelectionStreak_ = 0;
        }
        return;
    }

    emptySelectionStreak_ = 0;
    lastClearReason_.clear();
    if (text_.cut(snapshot->text, kMinimumCharacters).characters < kMinimumCharacters) {
        return;
    }
    std::string signature = signatureOf(*snapshot);
    if (signature == lastSelectionSignature_) {
        return;
    }
    lastSelectionSignature_ = std::move(signature);

    if (isFocusedElementExcluded()) {
        log(LogLevel::debug, msg::kIgnoredExcluded);
        return;
    }
    if (!isValidRect(snapshot->rect)) {
        log(LogLevel::debug, msg::invalidSelectionRect(snapshot->rect));
        return;
    }
    log(LogLevel::info,
        msg::selectionValidated(text_.prefix(snapshot->text, kLogPrefix), rectMidX(snapshot->rect),
                                rectMidY(snapshot->rect)));
    onSelectionChanged_(snapshot->text, snapshot->rect);
}

void SelectionObserver::clearSelection(const std::string& reason) {
    if (!onSelectionCleared_) {
        return;
    }
    if (reason == lastClearReason_) {
        return;
    }
    lastClearReason_ = reason;
    log(LogLevel::debug, msg::selectionCleared(reason));
    onSelectionCleared_();
}

bool SelectionObserver::isFocusedElementExcluded() {
    ax::Accessibility& accessibility = platform_.accessibility;
    ax::Answer focused = accessibility.copyAttributeValue(accessibility.createSystemWide(),
                                                          ax::kAXFocusedUIElementAttribute);
    const ax::ElementRef* element = ax::elementIn(focused);
    if (element == nullptr) {
        return false;
    }
    std::string role = roleOf(accessibility, *element);
    // The parent is asked for only where the element's role could make it excluded.
    if (!ax::isExcludedControl(role, ax::kAXToolbarRole)) {
        return false;
    }
    ax::Answer parent = accessibility.copyAttributeValue(*element, ax::kAXParentAttribute);
    const ax::ElementRef* parentElement = ax::elementIn(parent);
    return parentElement != nullptr &&
           ax::isExcludedControl(role, roleOf(accessibility, *parentElement));
}

}  // namespace glimwick
