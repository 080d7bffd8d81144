#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "platform/AXError.h"
#include "platform/Geometry.h"
#include "platform/MainQueue.h"
#include "platform/ProcessInfo.h"

namespace glimwick::ax {

// Attribute, parameterized-attribute and notification names, exactly as the interface knows them.
inline constexpr const char* kAXFocusedUIElementAttribute = "AXFocusedUIElement";
inline constexpr const char* kAXFocusedApplicationAttribute = "AXFocusedApplication";
inline constexpr const char* kAXSelectedTextAttribute = "AXSelectedText";
inline constexpr const char* kAXSelectedTextRangeAttribute = "AXSelectedTextRange";
inline constexpr const char* kAXRoleAttribute = "AXRole";
inline constexpr const char* kAXParentAttribute = "AXParent";
inline constexpr const char* kAXTitleAttribute = "AXTitle";
inline constexpr const char* kAXStringForRangeParameterizedAttribute = "AXStringForRange";
inline constexpr const char* kAXAttributedStringForRangeParameterizedAttribute =
    "AXAttributedStringForRange";
inline constexpr const char* kAXBoundsForRangeParameterizedAttribute = "AXBoundsForRange";
inline constexpr const char* kAXSelectedTextChangedNotification = "AXSelectedTextChanged";

inline constexpr const char* kAXTextFieldRole = "AXTextField";
inline constexpr const char* kAXComboBoxRole = "AXComboBox";
inline constexpr const char* kAXToolbarRole = "AXToolbar";
inline constexpr const char* kAXGroupRole = "AXGroup";

// Address bars and search boxes: a text field or combo box directly inside a tool bar or a
// group. The one statement of the rule, for the logic and for every source of text.
inline bool isExcludedControl(std::string_view role, std::string_view parentRole) {
    return (role == kAXTextFieldRole || role == kAXComboBoxRole) &&
           (parentRole == kAXToolbarRole || parentRole == kAXGroupRole);
}

// A UI element. Its content is the platform's; the logic only passes handles around.
class Element {
public:
    virtual ~Element() = default;
};
using ElementRef = std::shared_ptr<const Element>;

struct Range {
    std::int64_t location = 0;
    std::int64_t length = 0;
};

enum class ValueType : int { cgRect = 3, cfRange = 4 };

// A boxed geometry value (rectangle or range).
class AXValue {
public:
    static AXValue rect(const Rect& r) { return AXValue(ValueType::cgRect, r, {}); }
    static AXValue range(const Range& r) { return AXValue(ValueType::cfRange, {}, r); }

    ValueType type() const { return type_; }
    // Extraction succeeds only for the value's own kind.
    std::optional<Rect> asRect() const {
        return type_ == ValueType::cgRect ? std::optional(rect_) : std::nullopt;
    }
    std::optional<Range> asRange() const {
        return type_ == ValueType::cfRange ? std::optional(range_) : std::nullopt;
    }

private:
    AXValue(ValueType type, Rect rect, Range range) : type_(type), rect_(rect), range_(range) {}
    ValueType type_;
    Rect rect_;
    Range range_;
};

struct AttributedString {
    std::string string;
};

// A value of a kind the helper does not read (a number, an array, ...).
struct OtherValue {};

using Value = std::variant<std::string, AttributedString, ElementRef, AXValue, OtherValue>;

// What a copy call produced: a code, and a value only when there was one.
struct Answer {
    AXError error = kAXErrorSuccess;
    std::optional<Value> value;

    bool succeededWithValue() const { return error == kAXErrorSuccess && value.has_value(); }
};

// The element a successful answer carries, or nullptr (failure, no value, another kind).
inline const ElementRef* elementIn(const Answer& answer) {
    if (!answer.succeededWithValue()) {
        return nullptr;
    }
    const auto* element = std::get_if<ElementRef>(&*answer.value);
    return element != nullptr && *element ? element : nullptr;
}

// The non-owning context of a notification registration; it may have expired when the
// callback or a block it queued runs.
using Context = std::weak_ptr<void>;

class Observer;
using ObserverCallback =
    std::function<void(Observer& observer, const ElementRef& element,
                       const std::string& notification, const Context& context)>;

// Delivers notifications of one process to a callback while its source is installed.
class Observer {
public:
    virtual ~Observer() = default;
    virtual AXError addNotification(const ElementRef& application, const std::string& name,
                                    Context context) = 0;
    virtual AXError removeNotification(const ElementRef& application, const std::string& name) = 0;
    virtual RunLoopSource& runLoopSource() = 0;
};

struct ObserverResult {
    AXError error = kAXErrorSuccess;
    std::unique_ptr<Observer> observer;
};

class Accessibility {
public:
    virtual ~Accessibility() = default;

    virtual bool isProcessTrusted(bool prompt) = 0;
    virtual ElementRef createSystemWide() = 0;
    virtual ElementRef createApplication(Pid pid) = 0;
    virtual Answer copyAttributeValue(const ElementRef& element, const std::string& attribute) = 0;
    virtual Answer copyParameterizedAttributeValue(const ElementRef& element,
                                                   const std::string& attribute,
                                                   const Value& parameter) = 0;
    // Yields 0 when the element has no process.
    virtual Pid getPid(const ElementRef& element) = 0;
    // Boxing a range can fail only when resources are exhausted.
    virtual std::optional<AXValue> createRangeValue(const Range& range) = 0;
    virtual ObserverResult createObserver(Pid pid, ObserverCallback callback) = 0;
};

}  // namespace glimwick::ax
