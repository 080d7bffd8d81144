#include "platform/linux/AtspiCalls.h"

#include "platform/linux/AtspiRoles.h"
#include "platform/linux/SandboxProxy.h"

#include <dbus/dbus.h>

#include <algorithm>
#include <memory>

namespace glimwick::os {

namespace {

constexpr gint64 kLeaveAloneUs = gint64{5} * G_USEC_PER_SEC;
// Roles kept: those of the objects one evaluation asks about.
constexpr size_t kKnownRoles = 16;

// libatspi's error domain and its code for an application that has left the bus; its public
// headers do not declare them.
constexpr const char* kAtspiErrorDomain = "atspi_error";
constexpr gint kAtspiApplicationGone = 0;

// An array of accessibles that AT-SPI hands over, freed with what it holds.
struct AccessiblesFree {
    void operator()(GArray* array) const {
        for (guint i = 0; i < array->len; ++i) {
            g_object_unref(g_array_index(array, AtspiAccessible*, i));
        }
        g_array_free(array, TRUE);
    }
};
struct HashTableUnref {
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};

gint libatspiTimeoutMs(AtspiAccessible* target, gint budgetMs) {
    // Over an application's own connection (one with no bus name) libatspi waits in steps of
    // its time-out until more than that has passed, counted in whole milliseconds: a step that
    // ends less than a millisecond late, as on a busy machine, is followed by a whole second
    // one. Half the time-out keeps even two steps within one.
    auto* object = target != nullptr ? ATSPI_OBJECT(target) : nullptr;
    bool direct = object != nullptr && object->app != nullptr && object->app->bus != nullptr &&
                  dbus_bus_get_unique_name(object->app->bus) == nullptr;
    return direct ? std::max(budgetMs / 2, 1) : budgetMs;
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

std::string identityOf(AtspiAccessible* accessible) {
    const char* bus = busNameOf(accessible);
    const char* path = accessible != nullptr ? ATSPI_OBJECT(accessible)->path : nullptr;
    return std::string(bus != nullptr ? bus : "") + (path != nullptr ? path : "");
}

GObjectPtr<AtspiAccessible> retained(AtspiAccessible* accessible) {
    return GObjectPtr<AtspiAccessible>(
        accessible != nullptr ? ATSPI_ACCESSIBLE(g_object_ref(accessible)) : nullptr);
}

AtspiCalls::~AtspiCalls() {
    if (turnEnd_ != 0) {
        g_source_remove(turnEnd_);
    }
}

gint64 AtspiCalls::deadline() {
    if (deadline_ == 0) {
        deadline_ = g_get_monotonic_time() + kTurnBudgetUs;
        // Ends before anything else runs in the next turn.
        turnEnd_ = g_idle_add_full(
            G_PRIORITY_HIGH,
            [](gpointer self) -> gboolean {
                auto* calls = static_cast<AtspiCalls*>(self);
                calls->deadline_ = 0;
                calls->turnEnd_ = 0;
                return G_SOURCE_REMOVE;
            },
            this, nullptr);
    }
    return deadline_;
}

bool AtspiCalls::leftAlone(const char* bus) {
    if (bus == nullptr) {
        return false;
    }
    auto found = unresponsiveUntil_.find(bus);
    if (found == unresponsiveUntil_.end()) {
        return false;
    }
    if (g_get_monotonic_time() < found->second) {
        return true;
    }
    unresponsiveUntil_.erase(found);
    return false;
}

void AtspiCalls::leaveAlone(const char* bus) {
    if (bus != nullptr) {
        unresponsiveUntil_[bus] = g_get_monotonic_time() + kLeaveAloneUs;
    }
}

template <typename Result, typename Body>
std::optional<Result> AtspiCalls::ask(AtspiAccessible* target, Body&& body) {
    const char* bus = busNameOf(target);
    if (leftAlone(bus)) {
        lastError_ = ax::kAXErrorCannotComplete;
        return std::nullopt;
    }
    gint64 now = g_get_monotonic_time();
    gint64 leftMs = (deadline() - now) / 1000;
    if (leftMs <= 0) {
        lastError_ = ax::kAXErrorCannotComplete;
        return std::nullopt;
    }
    auto budgetMs = static_cast<gint>(std::min<gint64>(leftMs, kCallTimeoutMs));
    gint timeoutMs = libatspiTimeoutMs(target, budgetMs);
    atspi_set_timeout(timeoutMs, timeoutMs);
    GError* raw = nullptr;
    Result result(body(&raw));
    GErrorPtr error(raw);
    lastError_ = axErrorFor(error.get());
    gint64 elapsed = g_get_monotonic_time() - now;
    // A call that took this long ran into its time-out; one that had half a second or more
    // says its application is not answering (a call cut short near the deadline says only
    // that the turn ran out of time).
    if (bus != nullptr && elapsed >= gint64{timeoutMs} * 900) {
        if (budgetMs >= kCallTimeoutMs / 2) {
            leaveAlone(bus);
        }
        if (lastError_ == ax::kAXErrorSuccess) {
            lastError_ = ax::kAXErrorCannotComplete;
        }
    }
    if (lastError_ != ax::kAXErrorSuccess) {
        return std::nullopt;
    }
    return result;
}

template <typename Body>
std::optional<Rect> AtspiCalls::askRect(AtspiAccessible* target, Body&& body) {
    auto rect = ask<std::unique_ptr<AtspiRect, GFree>>(target, std::forward<Body>(body));
    if (!rect || !*rect) {
        return std::nullopt;
    }
    const AtspiRect& r = **rect;
    return Rect{static_cast<double>(r.x), static_cast<double>(r.y), static_cast<double>(r.width),
                static_cast<double>(r.height)};
}

std::optional<AtspiRole> AtspiCalls::role(AtspiAccessible* accessible) {
    // libatspi keeps no role without its own main loop; an object's role does not change.
    auto known = std::find_if(roles_.begin(), roles_.end(),
                              [&](const auto& entry) { return entry.first.get() == accessible; });
    if (known != roles_.end()) {
        return known->second;
    }
    auto role = ask<AtspiRole>(
        accessible, [&](GError** e) { return atspi_accessible_get_role(accessible, e); });
    if (role && accessible != nullptr) {
        roles_.emplace_front(retained(accessible), *role);
        if (roles_.size() > kKnownRoles) {
            roles_.pop_back();
        }
    }
    return role;
}

GObjectPtr<AtspiStateSet> AtspiCalls::states(AtspiAccessible* accessible) {
    // Comes from libatspi's cache when it can; otherwise it is a call like the others.
    return askObject<AtspiStateSet>(
        accessible, [&](GError**) { return atspi_accessible_get_state_set(accessible); });
}

bool AtspiCalls::hasState(AtspiAccessible* accessible, AtspiStateType state) {
    auto set = states(accessible);
    return set && atspi_state_set_contains(set.get(), state);
}

// A string libatspi hands over, freed once copied.
std::optional<std::string> AtspiCalls::askString(AtspiAccessible* accessible,
                                                 gchar* (*get)(AtspiAccessible*, GError**)) {
    auto text = ask<GCharPtr>(accessible, [&](GError** e) { return get(accessible, e); });
    return text && *text ? std::optional<std::string>(text->get()) : std::nullopt;
}

std::optional<std::string> AtspiCalls::name(AtspiAccessible* accessible) {
    return askString(accessible, &atspi_accessible_get_name);
}

std::optional<std::string> AtspiCalls::toolkit(AtspiAccessible* application) {
    return askString(application, &atspi_accessible_get_toolkit_name);
}

std::optional<std::string> AtspiCalls::attribute(AtspiAccessible* accessible, const char* key) {
    auto all = ask<std::unique_ptr<GHashTable, HashTableUnref>>(
        accessible, [&](GError** e) { return atspi_accessible_get_attributes(accessible, e); });
    const auto* value =
        all && *all ? static_cast<const gchar*>(g_hash_table_lookup(all->get(), key)) : nullptr;
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

GObjectPtr<AtspiAccessible> AtspiCalls::parent(AtspiAccessible* accessible) {
    return askObject<AtspiAccessible>(
        accessible, [&](GError** e) { return atspi_accessible_get_parent(accessible, e); });
}

GObjectPtr<AtspiAccessible> AtspiCalls::application(AtspiAccessible* accessible) {
    // libatspi knows the application's root once it has met it (the desktop's children are
    // those roots); finding it otherwise walks up the tree, a call for each step.
    auto* object = accessible != nullptr ? ATSPI_OBJECT(accessible) : nullptr;
    if (object != nullptr && object->app != nullptr && object->app->root != nullptr) {
        return retained(object->app->root);
    }
    return askObject<AtspiAccessible>(
        accessible, [&](GError** e) { return atspi_accessible_get_application(accessible, e); });
}

std::optional<int> AtspiCalls::childCount(AtspiAccessible* accessible) {
    return ask<gint>(accessible,
                     [&](GError** e) { return atspi_accessible_get_child_count(accessible, e); });
}

GObjectPtr<AtspiAccessible> AtspiCalls::child(AtspiAccessible* accessible, int index) {
    return askObject<AtspiAccessible>(accessible, [&](GError** e) {
        return atspi_accessible_get_child_at_index(accessible, index, e);
    });
}

std::optional<int> AtspiCalls::indexInParent(AtspiAccessible* accessible) {
    return ask<gint>(accessible, [&](GError** e) {
        return atspi_accessible_get_index_in_parent(accessible, e);
    });
}

std::optional<Pid> AtspiCalls::pid(AtspiAccessible* accessible) {
    const char* bus = busNameOf(accessible);
    if (bus != nullptr) {
        if (auto known = processes_.find(bus); known != processes_.end()) {
            return known->second;
        }
    }
    auto pid = ask<guint>(
        accessible, [&](GError** e) { return atspi_accessible_get_process_id(accessible, e); });
    if (!pid || *pid == 0 || *pid > static_cast<guint>(G_MAXINT32)) {
        return std::nullopt;
    }
    Pid process = processBehindProxy(static_cast<Pid>(*pid));
    if (bus != nullptr) {
        processes_[bus] = process;
    }
    return process;
}

bool AtspiCalls::offersText(AtspiAccessible* accessible) {
    return askObject<AtspiText>(accessible, [&](GError**) {
               return atspi_accessible_get_text_iface(accessible);
           }) != nullptr;
}

GObjectPtr<AtspiText> AtspiCalls::textOf(AtspiAccessible* accessible) {
    // The one way to an object's text: a password field's is never handed out, so nothing can
    // read, measure or expand it. An unknown role counts as a password's. The role is asked
    // only of objects with text: libatspi keeps the interfaces, not the role.
    if (!offersText(accessible) || isSecret(role(accessible))) {
        return nullptr;
    }
    return GObjectPtr<AtspiText>(atspi_accessible_get_text_iface(accessible));
}

GObjectPtr<AtspiHypertext> AtspiCalls::hypertextOf(AtspiAccessible* accessible) {
    return askObject<AtspiHypertext>(
        accessible, [&](GError**) { return atspi_accessible_get_hypertext_iface(accessible); });
}

std::optional<std::vector<GObjectPtr<AtspiAccessible>>> AtspiCalls::matching(
    AtspiAccessible* root, std::optional<AtspiStateType> state, const char* interface, int count,
    bool deep, std::optional<AtspiRole> role) {
    auto collection = askObject<AtspiCollection>(
        root, [&](GError**) { return atspi_accessible_get_collection_iface(root); });
    if (!collection) {
        return std::nullopt;
    }
    GObjectPtr<AtspiStateSet> states(atspi_state_set_new(nullptr));
    if (state) {
        atspi_state_set_add(states.get(), *state);
    }
    GArray* interfaces = nullptr;
    if (interface != nullptr) {
        interfaces = g_array_new(FALSE, FALSE, sizeof(const gchar*));
        g_array_append_val(interfaces, interface);
    }
    GArray* roles = nullptr;
    if (role) {
        roles = g_array_new(FALSE, FALSE, sizeof(AtspiRole));
        g_array_append_val(roles, *role);
    }
    GObjectPtr<AtspiMatchRule> rule(atspi_match_rule_new(
        states.get(), ATSPI_Collection_MATCH_ALL, nullptr, ATSPI_Collection_MATCH_NONE, roles,
        ATSPI_Collection_MATCH_ANY, interfaces, ATSPI_Collection_MATCH_ALL, FALSE));
    // The rule holds its own references.
    for (GArray* array : {interfaces, roles}) {
        if (array != nullptr) {
            g_array_unref(array);
        }
    }
    auto found = ask<std::unique_ptr<GArray, AccessiblesFree>>(root, [&](GError** e) {
        return atspi_collection_get_matches(collection.get(), rule.get(),
                                            ATSPI_Collection_SORT_ORDER_CANONICAL, count,
                                            deep ? TRUE : FALSE, e);
    });
    if (!found) {
        return std::nullopt;
    }
    std::vector<GObjectPtr<AtspiAccessible>> matches;
    for (guint i = 0; *found && i < (*found)->len; ++i) {
        matches.push_back(retained(g_array_index(found->get(), AtspiAccessible*, i)));
    }
    return matches;
}

std::optional<Rect> AtspiCalls::extents(AtspiAccessible* accessible, AtspiCoordType coordinates) {
    auto component = ask<GObjectPtr<AtspiComponent>>(
        accessible, [&](GError**) { return atspi_accessible_get_component_iface(accessible); });
    if (!component || !*component) {
        if (component) {
            lastError_ = ax::kAXErrorAttributeUnsupported;
        }
        return std::nullopt;
    }
    return askRect(accessible, [&](GError** e) {
        return atspi_component_get_extents(component->get(), coordinates, e);
    });
}

std::optional<std::string> AtspiCalls::text(AtspiAccessible* accessible, AtspiText* text, int start,
                                            int end) {
    auto chars = ask<GCharPtr>(
        accessible, [&](GError** e) { return atspi_text_get_text(text, start, end, e); });
    return chars && *chars ? std::optional<std::string>(chars->get()) : std::nullopt;
}

std::optional<int> AtspiCalls::characterCount(AtspiAccessible* accessible, AtspiText* text) {
    return ask<gint>(accessible,
                     [&](GError** e) { return atspi_text_get_character_count(text, e); });
}

std::optional<Offsets> AtspiCalls::firstSelection(AtspiAccessible* accessible, AtspiText* text) {
    // Asked directly: counting first costs a web browser as much again on a large selection.
    auto range = ask<std::unique_ptr<AtspiRange, GFree>>(
        accessible, [&](GError** e) { return atspi_text_get_selection(text, 0, e); });
    const AtspiRange* r = range ? range->get() : nullptr;
    if (r == nullptr || r->start_offset < 0 || r->end_offset < 0 ||
        r->start_offset == r->end_offset) {
        return std::nullopt;
    }
    return Offsets{std::min(r->start_offset, r->end_offset),
                   std::max(r->start_offset, r->end_offset)};
}

std::optional<int> AtspiCalls::caret(AtspiAccessible* accessible, AtspiText* text) {
    return ask<gint>(accessible, [&](GError** e) { return atspi_text_get_caret_offset(text, e); });
}

std::optional<Rect> AtspiCalls::rangeExtents(AtspiAccessible* accessible, AtspiText* text,
                                             Offsets range, AtspiCoordType coordinates) {
    return askRect(accessible, [&](GError** e) {
        return atspi_text_get_range_extents(text, range.start, range.end, coordinates, e);
    });
}

std::optional<Rect> AtspiCalls::characterExtents(AtspiAccessible* accessible, AtspiText* text,
                                                 int offset, AtspiCoordType coordinates) {
    return askRect(accessible, [&](GError** e) {
        return atspi_text_get_character_extents(text, offset, coordinates, e);
    });
}

GObjectPtr<AtspiAccessible> AtspiCalls::embeddedAt(AtspiAccessible* accessible, EmbeddedPlace place,
                                                   int offset) {
    if (place.child >= 0) {
        return child(accessible, place.child);
    }
    GObjectPtr<AtspiHypertext> hypertext(hypertextOf(accessible));
    if (!hypertext) {
        return nullptr;
    }
    int index = place.link;
    if (index < 0) {
        index = ask<gint>(accessible, [&](GError** e) {
                    return atspi_hypertext_get_link_index(hypertext.get(), offset, e);
                }).value_or(-1);
    }
    if (index < 0) {
        return nullptr;
    }
    auto link = askObject<AtspiHyperlink>(accessible, [&](GError** e) {
        return atspi_hypertext_get_link(hypertext.get(), index, e);
    });
    if (!link) {
        return nullptr;
    }
    return askObject<AtspiAccessible>(
        accessible, [&](GError** e) { return atspi_hyperlink_get_object(link.get(), 0, e); });
}

}  // namespace glimwick::os
