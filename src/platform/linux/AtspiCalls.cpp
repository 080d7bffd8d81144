#include "platform/linux/AtspiCalls.h"

#include <algorithm>
#include <memory>

namespace glimwick::os {

namespace {

// A call that took this long ran into the time-out: its application is not answering.
constexpr gint64 kSlowCallUs = gint64{kCallTimeoutMs} * 900;
constexpr gint64 kLeaveAloneUs = gint64{5} * G_USEC_PER_SEC;

// libatspi's error domain and its code for an application that has left the bus; its public
// headers do not declare them.
constexpr const char* kAtspiErrorDomain = "atspi_error";
constexpr gint kAtspiApplicationGone = 0;

Rect rectFrom(const AtspiRect& r) {
    return Rect{static_cast<double>(r.x), static_cast<double>(r.y), static_cast<double>(r.width),
                static_cast<double>(r.height)};
}

void freeRect(AtspiRect*& rect) {
    g_free(rect);
    rect = nullptr;
}

}  // namespace

ax::AXError axErrorFor(const GError* error) {
    if (error == nullptr) {
        return ax::kAXErrorSuccess;
    }
    // libatspi passes on no D-Bus error name (only its message); the one thing it classifies
    // is an application that has left the bus.
    if (error->domain == g_quark_from_static_string(kAtspiErrorDomain) &&
        error->code == kAtspiApplicationGone) {
        return ax::kAXErrorInvalidUIElement;
    }
    return ax::kAXErrorCannotComplete;
}

const char* busNameOf(AtspiAccessible* accessible) {
    auto* object = accessible != nullptr ? ATSPI_OBJECT(accessible) : nullptr;
    return object != nullptr && object->app != nullptr ? object->app->bus_name : nullptr;
}

GObjectPtr<AtspiAccessible> retained(AtspiAccessible* accessible) {
    return GObjectPtr<AtspiAccessible>(
        accessible != nullptr ? ATSPI_ACCESSIBLE(g_object_ref(accessible)) : nullptr);
}

template <typename Result, typename Body, typename Release>
std::optional<Result> AtspiCalls::ask(AtspiAccessible* target, Body&& body, Release&& release) {
    const char* bus = busNameOf(target);
    gint64 now = g_get_monotonic_time();
    if (bus != nullptr) {
        auto found = unresponsiveUntil_.find(bus);
        if (found != unresponsiveUntil_.end()) {
            if (now < found->second) {
                lastError_ = ax::kAXErrorCannotComplete;
                return std::nullopt;
            }
            unresponsiveUntil_.erase(found);
        }
    }
    GError* raw = nullptr;
    Result result = body(&raw);
    GErrorPtr error(raw);
    lastError_ = axErrorFor(error.get());
    gint64 elapsed = g_get_monotonic_time() - now;
    if (bus != nullptr && elapsed >= kSlowCallUs) {
        unresponsiveUntil_[bus] = g_get_monotonic_time() + kLeaveAloneUs;
        if (lastError_ == ax::kAXErrorSuccess) {
            lastError_ = ax::kAXErrorCannotComplete;
        }
    }
    if (lastError_ != ax::kAXErrorSuccess) {
        release(result);
        return std::nullopt;
    }
    return result;
}

std::optional<AtspiRole> AtspiCalls::role(AtspiAccessible* accessible) {
    return ask<AtspiRole>(accessible,
                          [&](GError** e) { return atspi_accessible_get_role(accessible, e); });
}

GObjectPtr<AtspiStateSet> AtspiCalls::states(AtspiAccessible* accessible) {
    // Comes from libatspi's cache when it can; otherwise it is a call like the others.
    auto states = ask<AtspiStateSet*>(
        accessible, [&](GError**) { return atspi_accessible_get_state_set(accessible); },
        [](AtspiStateSet*& set) { g_clear_object(&set); });
    return GObjectPtr<AtspiStateSet>(states.value_or(nullptr));
}

bool AtspiCalls::hasState(AtspiAccessible* accessible, AtspiStateType state) {
    auto set = states(accessible);
    return set && atspi_state_set_contains(set.get(), state);
}

std::optional<std::string> AtspiCalls::name(AtspiAccessible* accessible) {
    auto name = ask<gchar*>(
        accessible, [&](GError** e) { return atspi_accessible_get_name(accessible, e); },
        [](gchar*& s) { g_clear_pointer(&s, g_free); });
    GCharPtr owned(name.value_or(nullptr));
    return owned ? std::optional<std::string>(owned.get()) : std::nullopt;
}

GObjectPtr<AtspiAccessible> AtspiCalls::parent(AtspiAccessible* accessible) {
    auto parent = ask<AtspiAccessible*>(
        accessible, [&](GError** e) { return atspi_accessible_get_parent(accessible, e); },
        [](AtspiAccessible*& a) { g_clear_object(&a); });
    return GObjectPtr<AtspiAccessible>(parent.value_or(nullptr));
}

GObjectPtr<AtspiAccessible> AtspiCalls::application(AtspiAccessible* accessible) {
    auto app = ask<AtspiAccessible*>(
        accessible, [&](GError** e) { return atspi_accessible_get_application(accessible, e); },
        [](AtspiAccessible*& a) { g_clear_object(&a); });
    return GObjectPtr<AtspiAccessible>(app.value_or(nullptr));
}

std::optional<int> AtspiCalls::childCount(AtspiAccessible* accessible) {
    return ask<gint>(accessible,
                     [&](GError** e) { return atspi_accessible_get_child_count(accessible, e); });
}

GObjectPtr<AtspiAccessible> AtspiCalls::child(AtspiAccessible* accessible, int index) {
    auto child = ask<AtspiAccessible*>(
        accessible,
        [&](GError** e) { return atspi_accessible_get_child_at_index(accessible, index, e); },
        [](AtspiAccessible*& a) { g_clear_object(&a); });
    return GObjectPtr<AtspiAccessible>(child.value_or(nullptr));
}

std::optional<int> AtspiCalls::indexInParent(AtspiAccessible* accessible) {
    return ask<gint>(accessible, [&](GError** e) {
        return atspi_accessible_get_index_in_parent(accessible, e);
    });
}

std::optional<Pid> AtspiCalls::pid(AtspiAccessible* accessible) {
    auto pid = ask<guint>(
        accessible, [&](GError** e) { return atspi_accessible_get_process_id(accessible, e); });
    if (!pid || *pid == 0 || *pid > static_cast<guint>(G_MAXINT32)) {
        return std::nullopt;
    }
    return static_cast<Pid>(*pid);
}

std::optional<Rect> AtspiCalls::extents(AtspiAccessible* accessible, AtspiCoordType coordinates) {
    GObjectPtr<AtspiComponent> component(atspi_accessible_get_component_iface(accessible));
    if (!component) {
        lastError_ = ax::kAXErrorAttributeUnsupported;
        return std::nullopt;
    }
    auto rect = ask<AtspiRect*>(
        accessible,
        [&](GError** e) { return atspi_component_get_extents(component.get(), coordinates, e); },
        freeRect);
    std::unique_ptr<AtspiRect, GFree> owned(rect.value_or(nullptr));
    return owned ? std::optional(rectFrom(*owned)) : std::nullopt;
}

std::optional<std::string> AtspiCalls::text(AtspiAccessible* accessible, AtspiText* text, int start,
                                            int end) {
    auto chars = ask<gchar*>(
        accessible, [&](GError** e) { return atspi_text_get_text(text, start, end, e); },
        [](gchar*& s) { g_clear_pointer(&s, g_free); });
    GCharPtr owned(chars.value_or(nullptr));
    return owned ? std::optional<std::string>(owned.get()) : std::nullopt;
}

std::optional<int> AtspiCalls::characterCount(AtspiAccessible* accessible, AtspiText* text) {
    return ask<gint>(accessible,
                     [&](GError** e) { return atspi_text_get_character_count(text, e); });
}

std::optional<Offsets> AtspiCalls::firstSelection(AtspiAccessible* accessible, AtspiText* text) {
    // Asked directly: counting first costs a web browser as much again on a large selection.
    auto range = ask<AtspiRange*>(
        accessible, [&](GError** e) { return atspi_text_get_selection(text, 0, e); },
        [](AtspiRange*& r) { g_clear_pointer(&r, g_free); });
    std::unique_ptr<AtspiRange, GFree> owned(range.value_or(nullptr));
    if (!owned || owned->start_offset < 0 || owned->end_offset < 0 ||
        owned->start_offset == owned->end_offset) {
        return std::nullopt;
    }
    return Offsets{std::min(owned->start_offset, owned->end_offset),
                   std::max(owned->start_offset, owned->end_offset)};
}

std::optional<int> AtspiCalls::caret(AtspiAccessible* accessible, AtspiText* text) {
    return ask<gint>(accessible, [&](GError** e) { return atspi_text_get_caret_offset(text, e); });
}

std::optional<Rect> AtspiCalls::rangeExtents(AtspiAccessible* accessible, AtspiText* text,
                                             Offsets range, AtspiCoordType coordinates) {
    auto rect = ask<AtspiRect*>(
        accessible,
        [&](GError** e) {
            return atspi_text_get_range_extents(text, range.start, range.end, coordinates, e);
        },
        freeRect);
    std::unique_ptr<AtspiRect, GFree> owned(rect.value_or(nullptr));
    return owned ? std::optional(rectFrom(*owned)) : std::nullopt;
}

std::optional<Rect> AtspiCalls::characterExtents(AtspiAccessible* accessible, AtspiText* text,
                                                 int offset, AtspiCoordType coordinates) {
    auto rect = ask<AtspiRect*>(
        accessible,
        [&](GError** e) { return atspi_text_get_character_extents(text, offset, coordinates, e); },
        freeRect);
    std::unique_ptr<AtspiRect, GFree> owned(rect.value_or(nullptr));
    return owned ? std::optional(rectFrom(*owned)) : std::nullopt;
}

GObjectPtr<AtspiAccessible> AtspiCalls::embeddedAt(AtspiAccessible* accessible,
                                                   AtspiHypertext* hypertext, int offset) {
    auto index = ask<gint>(accessible, [&](GError** e) {
        return atspi_hypertext_get_link_index(hypertext, offset, e);
    });
    if (!index || *index < 0) {
        return nullptr;
    }
    auto link = ask<AtspiHyperlink*>(
        accessible, [&](GError** e) { return atspi_hypertext_get_link(hypertext, *index, e); },
        [](AtspiHyperlink*& l) { g_clear_object(&l); });
    GObjectPtr<AtspiHyperlink> owned(link.value_or(nullptr));
    if (!owned) {
        return nullptr;
    }
    auto object = ask<AtspiAccessible*>(
        accessible, [&](GError** e) { return atspi_hyperlink_get_object(owned.get(), 0, e); },
        [](AtspiAccessible*& a) { g_clear_object(&a); });
    return GObjectPtr<AtspiAccessible>(object.value_or(nullptr));
}

}  // namespace glimwick::os
