#pragma once

#include <atspi/atspi.h>

#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/AXError.h"
#include "platform/Geometry.h"
#include "platform/ProcessInfo.h"
#include "platform/linux/AtspiBatch.h"
#include "platform/linux/GObjectPtr.h"

namespace glimwick::os {

GObjectPtr<AtspiAccessible> retained(AtspiAccessible* accessible);
// The accessibility-bus name of accessible's application, or null.
const char* busNameOf(AtspiAccessible* accessible);
// Bus name and path: what names an object across calls.
std::string identityOf(AtspiAccessible* accessible);

// What a failed call means to the caller: an object whose application is gone is an invalid
// element; anything else (a time-out, a refused call) could not complete.
ax::AXError axErrorFor(const GError* error);

// How long any call into another application may take.
inline constexpr gint kCallTimeoutMs = 1000;

// Character offsets [start, end) of one accessible's text.
struct Offsets {
    int start = 0;
    int end = 0;
    bool operator==(const Offsets&) const = default;
};

// Calls into other applications over AT-SPI, each bounded by the time-out and the turn's
// deadline. An answer that
// comes with an error is a failure: libatspi fills its out-values only on success, so nothing
// is ever made from them otherwise. An application whose call ran into the time-out is left
// alone for a while, so that a stopped one stalls the helper at most once in that while.
// lastError() tells what the latest call met, as the accessibility codes say it.
class AtspiCalls {
public:
    ax::AXError lastError() const { return lastError_; }
    // Every call of one turn of the main loop (an evaluation: the focus, then its selection's
    // text, range and bounds) shares one budget: a call gets what is left of it, and none is
    // made past it, so no turn holds the loop up for a second, with room for what else that
    // turn does. The deadline of the current turn, starting it if need be.
    static constexpr gint64 kTurnBudgetUs = gint64{900} * 1000;
    gint64 deadline();
    AtspiCalls() = default;
    ~AtspiCalls();
    AtspiCalls(const AtspiCalls&) = delete;
    AtspiCalls& operator=(const AtspiCalls&) = delete;
    // Lets go of everything kept about the applications (before their connection goes).
    void forget() {
        unresponsiveUntil_.clear();
        roles_.clear();
        processes_.clear();
    }
    // bus's application has left the accessibility bus.
    void forgetApplication(const std::string& bus) {
        unresponsiveUntil_.erase(bus);
        processes_.erase(bus);
    }
    // For calls made outside libatspi (the batch): whether bus's application is left alone
    // now, and leaving it alone after it did not answer.
    bool leftAlone(const char* bus);
    void leaveAlone(const char* bus);

    std::optional<AtspiRole> role(AtspiAccessible* accessible);
    GObjectPtr<AtspiStateSet> states(AtspiAccessible* accessible);
    bool hasState(AtspiAccessible* accessible, AtspiStateType state);
    std::optional<std::string> name(AtspiAccessible* accessible);
    std::optional<std::string> toolkit(AtspiAccessible* application);
    // One of the object's attributes (key:value pairs), nullopt where it has none.
    std::optional<std::string> attribute(AtspiAccessible* accessible, const char* key);
    GObjectPtr<AtspiAccessible> parent(AtspiAccessible* accessible);
    GObjectPtr<AtspiAccessible> application(AtspiAccessible* accessible);
    std::optional<int> childCount(AtspiAccessible* accessible);
    GObjectPtr<AtspiAccessible> child(AtspiAccessible* accessible, int index);
    std::optional<int> indexInParent(AtspiAccessible* accessible);
    std::optional<Pid> pid(AtspiAccessible* accessible);
    std::optional<Rect> extents(AtspiAccessible* accessible, AtspiCoordType coordinates);

    // The object's interfaces, null where it has none; never a password field's text. Knowing
    // which it has may take a call (GetInterfaces) the first time.
    GObjectPtr<AtspiText> textOf(AtspiAccessible* accessible);
    // Whether it has a Text interface, password fields included.
    bool offersText(AtspiAccessible* accessible);
    GObjectPtr<AtspiHypertext> hypertextOf(AtspiAccessible* accessible);
    // Up to count objects below root (its children only, unless deep) in the given state
    // (none: any) that offer the given interface (null: any) and have the role (none: any), in
    // one call; nullopt when the application offers no Collection or the call failed.
    std::optional<std::vector<GObjectPtr<AtspiAccessible>>> matching(
        AtspiAccessible* root, std::optional<AtspiStateType> state, const char* interface,
        int count, bool deep, std::optional<AtspiRole> role = std::nullopt);

    // end -1 reads to the end of the text.
    std::optional<std::string> text(AtspiAccessible* accessible, AtspiText* text, int start,
                                    int end);
    std::optional<int> characterCount(AtspiAccessible* accessible, AtspiText* text);
    // The first selection, ordered; nullopt also when there is none or it is empty.
    std::optional<Offsets> firstSelection(AtspiAccessible* accessible, AtspiText* text);
    std::optional<int> caret(AtspiAccessible* accessible, AtspiText* text);
    std::optional<Rect> rangeExtents(AtspiAccessible* accessible, AtspiText* text, Offsets range,
                                     AtspiCoordType coordinates);
    std::optional<Rect> characterExtents(AtspiAccessible* accessible, AtspiText* text, int offset,
                                         AtspiCoordType coordinates);
    // The object the embedded-object character at offset stands for, found at place.
    GObjectPtr<AtspiAccessible> embeddedAt(AtspiAccessible* accessible, EmbeddedPlace place,
                                           int offset);

private:
    // Runs body (a libatspi call taking a GError**) unless target's application is left alone,
    // and takes its result as Result (an owner, for what libatspi hands over): given only when
    // the call succeeded, let go otherwise.
    template <typename Result, typename Body>
    std::optional<Result> ask(AtspiAccessible* target, Body&& body);
    // An object or interface libatspi hands over; null on failure.
    template <typename T, typename Body>
    GObjectPtr<T> askObject(AtspiAccessible* target, Body&& body) {
        return ask<GObjectPtr<T>>(target, std::forward<Body>(body)).value_or(nullptr);
    }
    std::optional<std::string> askString(AtspiAccessible* accessible,
                                         gchar* (*get)(AtspiAccessible*, GError**));
    template <typename Body>
    std::optional<Rect> askRect(AtspiAccessible* target, Body&& body);

    ax::AXError lastError_ = ax::kAXErrorSuccess;
    gint64 deadline_ = 0;  // 0 between turns
    guint turnEnd_ = 0;
    // The latest roles answered, newest first; held, so no other object takes their address.
    std::deque<std::pair<GObjectPtr<AtspiAccessible>, AtspiRole>> roles_;
    // Applications (by bus name) left alone until a monotonic time, in microseconds.
    std::unordered_map<std::string, gint64> unresponsiveUntil_;
    // By bus name: a connection's process stays what it was.
    std::unordered_map<std::string, Pid> processes_;
};

}  // namespace glimwick::os
