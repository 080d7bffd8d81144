#include "platform/linux/AtspiAccessibility.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "platform/linux/AtspiElements.h"
#include "platform/linux/AtspiObserver.h"
#include "platform/linux/AtspiRoles.h"

// The accessibility interface's questions, answered from the focus and the kept reading.

namespace glimwick::os {

namespace {

// Offsets as AT-SPI takes them (32-bit).
std::optional<Offsets> offsetsOf(const ax::Range& range) {
    if (range.location < 0 || range.length < 0 || range.location > G_MAXINT ||
        range.length > G_MAXINT - range.location) {
        return std::nullopt;
    }
    return Offsets{static_cast<int>(range.location),
                   static_cast<int>(range.location + range.length)};
}

}  // namespace

ax::ElementRef AtspiAccessibility::createSystemWide() {
    return std::make_shared<SystemWide>();
}

ax::ElementRef AtspiAccessibility::createApplication(Pid pid) {
    if (!connected() || pid <= 0) {
        return elementFor(nullptr);
    }
    // Found when something is asked of it: unbinding asks nothing.
    return elementFor(nullptr, pid);
}

ax::Answer AtspiAccessibility::systemWideAttribute(const std::string& attribute) {
    if (attribute != ax::kAXFocusedUIElementAttribute &&
        attribute != ax::kAXFocusedApplicationAttribute) {
        return {ax::kAXErrorAttributeUnsupported, std::nullopt};
    }
    if (!connected()) {
        return {ax::kAXErrorAPIDisabled, std::nullopt};
    }
    if (attribute == ax::kAXFocusedUIElementAttribute) {
        ++evaluation_;
    }
    GObjectPtr<AtspiAccessible> focused = focusedAccessible();
    if (Choice choice = chooseSource(focused.get()); choice.source == Source::primary) {
        if (attribute == ax::kAXFocusedUIElementAttribute) {
            return {0, std::make_shared<PrimaryElement>(choice.primary)};
        }
        return {0, elementFor(nullptr, choice.primary)};
    }
    if (!focused) {
        return {ax::kAXErrorNoValue, std::nullopt};
    }
    if (attribute == ax::kAXFocusedUIElementAttribute) {
        return {0, elementFor(std::move(focused))};
    }
    GObjectPtr<AtspiAccessible> app = calls_.application(focused.get());
    if (!app) {
        ax::AXError code = calls_.lastError();
        return {code != 0 ? code : ax::kAXErrorNoValue, std::nullopt};
    }
    return {0, elementFor(std::move(app))};
}

ax::Answer AtspiAccessibility::selectionAttribute(AtspiAccessible* accessible,
                                                  const std::string& attribute) {
    Reading* reading = currentReading(accessible);
    if (reading == nullptr) {
        return {ax::kAXErrorAttributeUnsupported, std::nullopt};
    }
    if (deferred(*reading)) {
        return {ax::kAXErrorCannotComplete, std::nullopt};
    }
    if (awaitsPlace(*reading, accessible)) {
        return {ax::kAXErrorNoValue, std::nullopt};
    }
    if (attribute == ax::kAXSelectedTextAttribute) {
        if (reading->mark.empty()) {
            return {0, std::string()};
        }
        if (!reading->read) {
            return {ax::kAXErrorCannotComplete, std::nullopt};
        }
        return {0, reading->read->text};
    }
    if (auto range = rangeOf(*reading)) {
        return {0, ax::AXValue::range({range->start, range->end - range->start})};
    }
    if (!reading->mark.empty()) {
        return {ax::kAXErrorCannotComplete, std::nullopt};
    }
    GObjectPtr<AtspiText> text(calls_.textOf(accessible));
    if (!reading->caret && text) {
        auto caret = calls_.caret(accessible, text.get());
        if (!caret) {
            return {calls_.lastError(), std::nullopt};
        }
        reading->caret = std::max(*caret, 0);
    }
    return {0, ax::AXValue::range({reading->caret.value_or(0), 0})};
}

ax::Answer AtspiAccessibility::rangeAttribute(AtspiAccessible* accessible,
                                              const std::string& attribute,
                                              const ax::Range& range) {
    auto offsets = offsetsOf(range);
    if (!offsets) {
        return {ax::kAXErrorIllegalArgument, std::nullopt};
    }
    Reading* reading = currentReading(accessible);
    if (reading == nullptr) {
        return {ax::kAXErrorParameterizedAttributeUnsupported, std::nullopt};
    }
    if (deferred(*reading)) {
        return {ax::kAXErrorCannotComplete, std::nullopt};
    }
    // Only the selection's own range is answered, and it stands for the whole selection, so
    // that the text and the bounds agree with the selected text. Any other range would be a
    // second reading with a deadline of its own; nothing asks for one.
    if (rangeOf(*reading) != *offsets) {
        return {ax::kAXErrorNoValue, std::nullopt};
    }
    if (!reading->read) {
        return {ax::kAXErrorCannotComplete, std::nullopt};
    }
    const ReadText* read = &*reading->read;
    if (attribute == ax::kAXBoundsForRangeParameterizedAttribute) {
        const std::optional<Rect>& bounds = placeOf(*reading, accessible);
        if (!bounds) {
            return {ax::kAXErrorNoValue, std::nullopt};
        }
        return {0, ax::AXValue::rect(*bounds)};
    }
    if (attribute == ax::kAXAttributedStringForRangeParameterizedAttribute) {
        return {0, ax::AttributedString{read->text}};
    }
    return {0, read->text};
}

ax::Answer AtspiAccessibility::copyAttributeValue(const ax::ElementRef& element,
                                                  const std::string& attribute) {
    if (dynamic_cast<const SystemWide*>(element.get()) != nullptr) {
        return systemWideAttribute(attribute);
    }
    if (const auto* primary = dynamic_cast<const PrimaryElement*>(element.get())) {
        return primaryAttribute(primary->pid, attribute);
    }
    AtspiAccessible* accessible = accessibleOf(element);
    if (accessible == nullptr || !connected_) {
        return {ax::kAXErrorInvalidUIElement, std::nullopt};
    }
    if (attribute == ax::kAXRoleAttribute) {
        auto role = axRoleOf(accessible);
        if (!role) {
            return {calls_.lastError(), std::nullopt};
        }
        return {0, std::move(*role)};
    }
    if (attribute == ax::kAXParentAttribute) {
        GObjectPtr<AtspiAccessible> parent = calls_.parent(accessible);
        if (!parent) {
            ax::AXError code = calls_.lastError();
            return {code != 0 ? code : ax::kAXErrorNoValue, std::nullopt};
        }
        return {0, elementFor(std::move(parent))};
    }
    if (attribute == ax::kAXTitleAttribute) {
        auto name = calls_.name(accessible);
        if (!name) {
            ax::AXError code = calls_.lastError();
            return {code != 0 ? code : ax::kAXErrorNoValue, std::nullopt};
        }
        return {0, std::move(*name)};
    }
    if (attribute == ax::kAXSelectedTextAttribute ||
        attribute == ax::kAXSelectedTextRangeAttribute) {
        return selectionAttribute(accessible, attribute);
    }
    return {ax::kAXErrorAttributeUnsupported, std::nullopt};
}

ax::Answer AtspiAccessibility::copyParameterizedAttributeValue(const ax::ElementRef& element,
                                                               const std::string& attribute,
                                                               const ax::Value& parameter) {
    bool known = attribute == ax::kAXStringForRangeParameterizedAttribute ||
                 attribute == ax::kAXAttributedStringForRangeParameterizedAttribute ||
                 attribute == ax::kAXBoundsForRangeParameterizedAttribute;
    if (!known) {
        return {ax::kAXErrorParameterizedAttributeUnsupported, std::nullopt};
    }
    // PRIMARY has text but no place.
    if (dynamic_cast<const PrimaryElement*>(element.get()) != nullptr) {
        return {ax::kAXErrorNoValue, std::nullopt};
    }
    AtspiAccessible* accessible = accessibleOf(element);
    if (accessible == nullptr || !connected_) {
        return {ax::kAXErrorInvalidUIElement, std::nullopt};
    }
    const auto* value = std::get_if<ax::AXValue>(&parameter);
    auto range = value != nullptr ? value->asRange() : std::nullopt;
    if (!range) {
        return {ax::kAXErrorIllegalArgument, std::nullopt};
    }
    return rangeAttribute(accessible, attribute, *range);
}

Pid AtspiAccessibility::getPid(const ax::ElementRef& element) {
    if (const auto* primary = dynamic_cast<const PrimaryElement*>(element.get())) {
        return primary->pid;
    }
    const auto* atspi = atspiElement(element);
    if (atspi != nullptr && !atspi->accessible) {
        return atspi->pid;  // an application known by its process only
    }
    AtspiAccessible* accessible = accessibleOf(element);
    if (accessible == nullptr || !connected_) {
        return 0;
    }
    return calls_.pid(accessible).value_or(0);
}

std::optional<ax::AXValue> AtspiAccessibility::createRangeValue(const ax::Range& range) {
    return ax::AXValue::range(range);
}

ax::ObserverResult AtspiAccessibility::createObserver(Pid /*pid*/, ax::ObserverCallback callback) {
    if (!connected()) {
        return {ax::kAXErrorAPIDisabled, nullptr};
    }
    return {ax::kAXErrorSuccess, std::make_unique<Observer>(*this, std::move(callback))};
}

}  // namespace glimwick::os
