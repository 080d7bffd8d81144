#include "platform/linux/AtspiAccessibility.h"

#include <algorithm>
#include <string_view>

#include "diagnostics/Messages.h"
#include "platform/linux/AtspiRoles.h"

// Where a selection is read from, and what PRIMARY answers where it stands in.

namespace glimwick::os {

namespace {

// Objects with text looked at to tell whether an application shows any, and how much of each.
constexpr int kMaxTextSample = 32;
constexpr std::string_view kObjectReplacement = "\xEF\xBF\xBC";  // U+FFFC
constexpr int kReadableSample = 64;
// Whether an application shows any text is asked again after this long.
constexpr gint64 kTextShownLifetimeUs = gint64{5} * G_USEC_PER_SEC;

}  // namespace

// The one decision of where the focused object's selection is read from, for every path: its
// own text; the blocks shown inside a document without text of its own; or PRIMARY, only where
// accessibility cannot see: the front application is not on the accessibility bus, shows it no
// text at all (a browser started without accessibility), or has the focus in an object that
// draws its text itself (AbiWord's document, GTK 4's VTE). A password field, or an object whose
// role cannot be read, is read from nowhere; PRIMARY never stands in for an address bar or a
// search box.
AtspiAccessibility::Choice AtspiAccessibility::chooseSource(AtspiAccessible* focused) {
    if (focused != nullptr) {
        auto role = calls_.role(focused);
        if (isSecret(role)) {
            return {};
        }
        if (calls_.offersText(focused)) {
            return {Source::text};
        }
        if (isDocument(*role)) {
            return {Source::blocks};
        }
        if (isExcludedControl(focused)) {
            return {};
        }
    }
    auto pid =
        primary_ != nullptr && primary_->available() ? primary_->focusedProcess() : std::nullopt;
    if (!pid || *pid <= 0 || showsText(*pid, focused)) {
        return {};
    }
    return {Source::primary, *pid};
}

// Both single- and multi-line text may report one role; the states tell them apart.
std::optional<std::string> AtspiAccessibility::axRoleOf(AtspiAccessible* accessible) {
    auto role = accessible != nullptr ? calls_.role(accessible) : std::nullopt;
    if (!role) {
        return std::nullopt;
    }
    bool multiLine = (*role == ATSPI_ROLE_TEXT || *role == ATSPI_ROLE_ENTRY) &&
                     calls_.hasState(accessible, ATSPI_STATE_MULTI_LINE);
    return axRoleName(*role, multiLine);
}

bool AtspiAccessibility::isExcludedControl(AtspiAccessible* accessible) {
    auto roleName = [this](AtspiAccessible* object) { return axRoleOf(object).value_or(""); };
    std::string role = roleName(accessible);
    if (!ax::isExcludedControl(role, ax::kAXToolbarRole)) {
        return false;
    }
    GObjectPtr<AtspiAccessible> parent = calls_.parent(accessible);
    return ax::isExcludedControl(role, roleName(parent.get()));
}

// Whether pid's application shows accessibility its text where the focus is: any object with
// text, unless the focus is in one that draws its own; also when that could not be found out
// (an application that does not answer is not one without accessibility). Asked again when
// the focus or the active window moves, or after a while (an application may arrive late).
bool AtspiAccessibility::showsText(Pid pid, AtspiAccessible* focused) {
    gint64 now = g_get_monotonic_time();
    std::uint64_t moves = focusMoves_ + primary_->activeGeneration();
    if (textShown_.pid == pid && textShown_.kept.holds(moves, now)) {
        return textShown_.shows;
    }
    GObjectPtr<AtspiAccessible> app = focused != nullptr ? calls_.application(focused) : nullptr;
    bool absent = false;
    if (!app || calls_.pid(app.get()) != pid) {
        app = findApplication(pid, &absent);
    }
    bool shows = !absent;
    auto role = focused != nullptr ? calls_.role(focused) : std::nullopt;
    if (role && drawsOwnText(*role, [&] { return calls_.childCount(focused).value_or(1) > 0; })) {
        shows = false;
    } else if (app) {
        // Chromium without accessibility gives its frames a Text interface with no text.
        auto readable = [this](AtspiAccessible* object) {
            GObjectPtr<AtspiText> text = calls_.textOf(object);
            auto start = text ? calls_.text(object, text.get(), 0, kReadableSample) : std::nullopt;
            if (!start) {
                return false;
            }
            // Embedded-object characters only stand for other objects.
            std::string_view rest(*start);
            for (size_t at = 0; at < rest.size();) {
                if (rest.substr(at).starts_with(kObjectReplacement)) {
                    at += kObjectReplacement.size();
                } else if (std::string_view(" \t\r\n").find(rest[at]) != std::string_view::npos) {
                    ++at;
                } else {
                    return true;
                }
            }
            return false;
        };
        // What is on screen: LibreOffice's first few dozen objects with text are its closed
        // menus' items, all empty.
        auto found = calls_.matching(app.get(), ATSPI_STATE_SHOWING, "text", kMaxTextSample, true);
        shows = found ? std::any_of(found->begin(), found->end(),
                                    [&](const auto& object) { return readable(object.get()); })
                      : walk(app.get(), [&](AtspiAccessible* object, AtspiStateSet*) {
                            return readable(object);
                        }) != nullptr;
        shows = shows || calls_.leftAlone(busNameOf(app.get()));
        // Once per process: a Chromium-based program started without its accessibility.
        const char* bus = busNameOf(app.get());
        if (!shows && notice_ && bus != nullptr && noticed_.count(bus) == 0 &&
            calls_.toolkit(app.get()) == "Chromium") {
            noticed_.insert(bus);
            notice_(msg::browserWithoutDocument(calls_.name(app.get()).value_or("?"), pid));
        }
    }
    textShown_ = {pid, Kept::of(moves, now, kTextShownLifetimeUs), shows};
    return shows;
}

ax::Answer AtspiAccessibility::primaryAttribute(Pid pid, const std::string& attribute) {
    if (attribute == ax::kAXRoleAttribute) {
        return {0, std::string(axRoleName(ATSPI_ROLE_TEXT, true))};  // text, several lines
    }
    if (attribute == ax::kAXSelectedTextAttribute) {
        auto text = primary_->selectionOf(pid);
        if (!text) {
            return {ax::kAXErrorNoValue, std::nullopt};
        }
        return {0, std::move(*text)};
    }
    if (attribute == ax::kAXSelectedTextRangeAttribute || attribute == ax::kAXParentAttribute) {
        return {ax::kAXErrorNoValue, std::nullopt};
    }
    return {ax::kAXErrorAttributeUnsupported, std::nullopt};
}

}  // namespace glimwick::os
