#include "platform/linux/AtspiAccessibility.h"

#include <cstring>
#include <deque>
#include <functional>
#include <utility>

#include "platform/linux/AtspiRoles.h"

// The front application and the focused object: kept from the toolkits' events, looked for
// where none came.

namespace glimwick::os {

namespace {

// Parents walked up from a focused object to its window.
constexpr int kMaxWindowDepth = 32;
// Objects looked at when searching a window for the focus without the Collection interface.
constexpr int kMaxFocusWalk = 1500;
constexpr gint64 kFruitlessWalkPauseUs = gint64{2} * G_USEC_PER_SEC;
// The focused object's state is asked again after this long, while its focus events say
// nothing.
constexpr gint64 kFocusLifetimeUs = gint64{2} * G_USEC_PER_SEC;
// Between searches of every application for its active window, when no event named one.
constexpr gint64 kActiveSearchPauseUs = G_USEC_PER_SEC;

}  // namespace

void AtspiAccessibility::onFocusEvent(AtspiEvent* event, void* self) {
    auto* accessibility = static_cast<AtspiAccessibility*>(self);
    if (event->source != nullptr) {
        if (event->detail1 != 0) {
            if (!accessibility->lastFocused_.is(event->source)) {
                ++accessibility->focusMoves_;
                if (accessibility->primary_ != nullptr) {
                    accessibility->primary_->focusMoved();
                }
            }
            accessibility->lastFocused_.set(event->source);
        } else if (accessibility->lastFocused_.is(event->source)) {
            accessibility->lastFocused_.reset();
        }
    }
    g_boxed_free(ATSPI_TYPE_EVENT, event);
}

void AtspiAccessibility::onWindowEvent(AtspiEvent* event, void* self) {
    auto* accessibility = static_cast<AtspiAccessibility*>(self);
    if (event->source != nullptr && event->type != nullptr) {
        // Whether the source is a top-level window is checked when it is asked for: no call
        // to the application from inside the event's dispatch.
        bool activated =
            std::strcmp(event->type, "window:activate") == 0 ||
            (std::strcmp(event->type, "window:deactivate") != 0 && event->detail1 != 0);
        ++accessibility->windowMoves_;
        if (activated) {
            accessibility->activeWindow_.set(event->source);
        } else if (accessibility->activeWindow_.is(event->source)) {
            accessibility->activeWindow_.reset();
        }
    }
    g_boxed_free(ATSPI_TYPE_EVENT, event);
}

template <typename Visit>
bool AtspiAccessibility::forEachActiveWindow(Visit&& visit) {
    GObjectPtr<AtspiAccessible> desktop(atspi_get_desktop(0));
    int apps = calls_.childCount(desktop.get()).value_or(0);
    for (int i = 0; i < apps; ++i) {
        GObjectPtr<AtspiAccessible> app = calls_.child(desktop.get(), i);
        int windows = app ? calls_.childCount(app.get()).value_or(0) : 0;
        for (int j = 0; j < windows; ++j) {
            GObjectPtr<AtspiAccessible> window = calls_.child(app.get(), j);
            if (window && calls_.hasState(window.get(), ATSPI_STATE_ACTIVE) &&
                visit(window.get())) {
                return true;
            }
        }
    }
    return false;
}

std::optional<RunningApplication> AtspiAccessibility::activeApplication() {
    if (!connected()) {
        return std::nullopt;
    }
    // Window events keep the answer true; it is asked again once they say something moved,
    // and after a while, for events that never came.
    gint64 now = g_get_monotonic_time();
    if (front_.kept.holds(windowMoves_, now)) {
        return front_.application;
    }
    front_.application = findActiveApplication();
    // None found is looked for again as soon as a search may be made again.
    front_.kept =
        Kept::of(windowMoves_, now, front_.application ? kFocusLifetimeUs : kActiveSearchPauseUs);
    return front_.application;
}

std::optional<RunningApplication> AtspiAccessibility::findActiveApplication() {
    auto isActiveWindow = [this](AtspiAccessible* window) {
        auto role = calls_.role(window);
        return role && isTopLevel(*role) && calls_.hasState(window, ATSPI_STATE_ACTIVE);
    };
    GObjectPtr<AtspiAccessible> window = activeWindow_.get();
    if (window && !isActiveWindow(window.get())) {
        if (activeWindow_.is(window.get())) {
            activeWindow_.reset();
        }
        window.reset();
    }
    gint64 now = g_get_monotonic_time();
    if (!window && now >= nextActiveSearch_) {
        nextActiveSearch_ = now + kActiveSearchPauseUs;
        // Those it visits say they are active already.
        forEachActiveWindow([&](AtspiAccessible* candidate) {
            auto role = calls_.role(candidate);
            if (!role || !isTopLevel(*role)) {
                return false;
            }
            window = retained(candidate);
            activeWindow_.set(candidate);
            return true;
        });
    }
    const char* bus = busNameOf(window.get());
    if (bus == nullptr) {
        return std::nullopt;
    }
    // A connection's process and name stay what they were.
    if (front_.application && front_.bus == bus) {
        return front_.application;
    }
    auto pid = calls_.pid(window.get());
    if (!pid || *pid <= 0) {
        return std::nullopt;
    }
    GObjectPtr<AtspiAccessible> app = calls_.application(window.get());
    front_.bus = bus;
    return RunningApplication{*pid, app ? calls_.name(app.get()) : std::nullopt};
}

std::optional<Point> AtspiAccessibility::focusPoint() {
    if (!connected()) {
        return std::nullopt;
    }
    GObjectPtr<AtspiAccessible> focused = focusedAccessible();
    if (!focused) {
        return std::nullopt;
    }
    // A password's text is not handed out: where its caret stands would say how long it is.
    if (auto caret = reader_.caretPoint(focused.get())) {
        return caret;
    }
    auto box = calls_.extents(focused.get(), ATSPI_COORD_TYPE_SCREEN);
    if (!box || box->width <= 0 || box->height <= 0) {
        return std::nullopt;
    }
    return Point{box->x + box->width / 2, box->y + box->height / 2};
}

GObjectPtr<AtspiAccessible> AtspiAccessibility::findApplication(Pid pid, bool* surely) {
    GObjectPtr<AtspiAccessible> desktop(atspi_get_desktop(0));
    auto count = calls_.childCount(desktop.get());
    bool sure = count.has_value();
    for (int i = 0; i < count.value_or(0); ++i) {
        GObjectPtr<AtspiAccessible> app = calls_.child(desktop.get(), i);
        auto found = app ? calls_.pid(app.get()) : std::nullopt;
        if (found == pid) {
            return app;
        }
        sure = sure && found.has_value();
    }
    if (surely != nullptr) {
        *surely = sure;
    }
    return nullptr;
}

GObjectPtr<AtspiAccessible> AtspiAccessibility::walk(AtspiAccessible* root, const Found& found) {
    std::deque<GObjectPtr<AtspiAccessible>> queue;
    queue.push_back(retained(root));
    for (int visited = 0; !queue.empty() && visited < kMaxFocusWalk; ++visited) {
        GObjectPtr<AtspiAccessible> current = std::move(queue.front());
        queue.pop_front();
        GObjectPtr<AtspiStateSet> states = calls_.states(current.get());
        if (!states) {
            continue;
        }
        if (current.get() != root) {
            if (found(current.get(), states.get())) {
                return current;
            }
            // GTK 4 marks what is below a window visible, never showing.
            if (!atspi_state_set_contains(states.get(), ATSPI_STATE_VISIBLE) ||
                atspi_state_set_contains(states.get(), ATSPI_STATE_MANAGES_DESCENDANTS)) {
                continue;
            }
        }
        int children = calls_.childCount(current.get()).value_or(0);
        for (int i = 0; i < children && visited + static_cast<int>(queue.size()) < kMaxFocusWalk;
             ++i) {
            if (auto child = calls_.child(current.get(), i)) {
                queue.push_back(std::move(child));
            }
        }
    }
    return nullptr;
}

GObjectPtr<AtspiAccessible> AtspiAccessibility::focusedIn(AtspiAccessible* window) {
    // Qt marks the tabs and panes around its focused text focused too: a text first.
    for (const char* kind : {"text", static_cast<const char*>(nullptr)}) {
        auto focused = calls_.matching(window, ATSPI_STATE_FOCUSED, kind, 1, true);
        if (focused && !focused->empty()) {
            return std::move(focused->front());
        }
    }
    // Toolkits without Collection (GTK 4), or whose Collection finds nothing focused (Qt): a
    // bounded walk through what is visible, for a focused text, else the first focused object.
    GObjectPtr<AtspiAccessible> first;
    GObjectPtr<AtspiAccessible> text =
        walk(window, [&](AtspiAccessible* object, AtspiStateSet* states) {
            if (atspi_state_set_contains(states, ATSPI_STATE_FOCUSED) == FALSE) {
                return false;
            }
            if (calls_.offersText(object)) {
                return true;
            }
            if (!first) {
                first = retained(object);
            }
            return false;
        });
    return text ? std::move(text) : std::move(first);
}

GObjectPtr<AtspiAccessible> AtspiAccessibility::focusedAccessible() {
    gint64 now = g_get_monotonic_time();
    // Focus events keep lastFocused_ true; its state is asked again once the focus or the
    // active window moved, and after a while, for events that never came.
    std::uint64_t moves =
        focusMoves_ + windowMoves_ + (primary_ != nullptr ? primary_->activeGeneration() : 0);
    GObjectPtr<AtspiAccessible> last = lastFocused_.get();
    bool confirmed = last && focusConfirmed_.kept.holds(moves, now);
    if (last && (confirmed || calls_.hasState(last.get(), ATSPI_STATE_FOCUSED))) {
        if (!confirmed) {
            focusConfirmed_ = {Kept::of(moves, now, kFocusLifetimeUs)};
        }
        return focusedTextWithin(std::move(last));
    }
    // Unless an event named another focus during the question.
    if (lastFocused_.is(last.get())) {
        lastFocused_.reset();
    }
    // A web document found in place of the focus stays while nothing moves and it is shown.
    // The same page process may show a new document under the same root, the first one gone
    // (Yelp shows a blank page first): the document is looked for again after a while, and
    // when PRIMARY changed (WebKit sets it to each new selection).
    if (webDocument_ && webConfirmed_.kept.events == moves &&
        (now >= webConfirmed_.kept.until || webConfirmed_.primaryChanges != primaryChanges())) {
        webConfirmed_ = {Kept::of(moves, now, kFocusLifetimeUs), primaryChanges()};
        GObjectPtr<AtspiAccessible> shown = calls_.child(webView_.get(), 0);
        bool same = shown && identityOf(shown.get()) == webRoot_;
        GObjectPtr<AtspiAccessible> document = same ? webDocumentBelow(std::move(shown)) : nullptr;
        if (!document || identityOf(document.get()) != identityOf(webDocument_.get())) {
            webField_ = {};
        }
        webDocument_ = std::move(document);  // none: another page's process now, or nothing
    }
    if (webDocument_ && webConfirmed_.kept.events == moves) {
        return focusedInPage();
    }
    webDocument_.reset();
    webField_ = {};
    // No focus event seen yet (or a stale one): look in the active window of each application.
    GObjectPtr<AtspiAccessible> found;
    forEachActiveWindow([&](AtspiAccessible* window) {
        std::string identity = identityOf(window);
        if (fruitlessWindow_.holds(identity, now)) {
            return false;
        }
        found = focusedIn(window);
        if (!found) {
            webDocument_ = webDocumentIn(window);
            webConfirmed_ = {Kept::of(moves, now, kFocusLifetimeUs), primaryChanges()};
        }
        if (found || webDocument_) {
            return true;
        }
        // Searching again on every reading would cost the application as much each time.
        fruitlessWindow_ = {std::move(identity), now + kFruitlessWalkPauseUs};
        return false;
    });
    lastFocused_.set(found.get());
    return found ? focusedTextWithin(std::move(found)) : focusedInPage();
}

// Some toolkits give a container the focused state along with the text inside it that has it
// too (LibreOffice's document window and its paragraph): the text is the focus. A document
// without text of its own is its own source; a list or table that manages its children would
// have to make every one of them to be searched.
GObjectPtr<AtspiAccessible> AtspiAccessibility::focusedTextWithin(
    GObjectPtr<AtspiAccessible> focused) {
    if (!focused || calls_.offersText(focused.get())) {
        return focused;
    }
    if (auto role = calls_.role(focused.get()); role && isDocument(*role)) {
        return focused;
    }
    gint64 now = g_get_monotonic_time();
    std::string identity = identityOf(focused.get());
    // A text found before is kept while it keeps the focus: one question, not a search.
    bool kept = inside_.container.identity == identity && inside_.text &&
                calls_.hasState(inside_.text.get(), ATSPI_STATE_FOCUSED);
    if (kept) {
        inside_.container.until = now + kFruitlessWalkPauseUs;
    } else if (!inside_.container.holds(identity, now)) {
        inside_ = {{identity, now + kFruitlessWalkPauseUs}, nullptr};
        GObjectPtr<AtspiAccessible> inner;
        if (!calls_.hasState(focused.get(), ATSPI_STATE_MANAGES_DESCENDANTS)) {
            inner = focusedIn(focused.get());
        }
        // Qt sends the focus to a list's cell or a tab beside its editor, and marks the
        // editor's text focused too: a focused text of the same window is the focus. Only
        // Qt's: elsewhere a focused button would have its window searched every time.
        if ((!inner || !calls_.offersText(inner.get())) && isQt(focused.get())) {
            GObjectPtr<AtspiAccessible> window = windowOf(focused.get());
            inner = window ? focusedIn(window.get()) : nullptr;
        }
        if (inner && calls_.offersText(inner.get())) {
            inside_.text = std::move(inner);
        }
    }
    return inside_.text ? retained(inside_.text.get()) : std::move(focused);
}

bool AtspiAccessibility::isQt(AtspiAccessible* accessible) {
    GObjectPtr<AtspiAccessible> app = calls_.application(accessible);
    return app && calls_.toolkit(app.get()) == "Qt";
}

// The window that accessible is in: the application's child above it (Qt nests frames).
GObjectPtr<AtspiAccessible> AtspiAccessibility::windowOf(AtspiAccessible* accessible) {
    GObjectPtr<AtspiAccessible> at = retained(accessible);
    for (int up = 0; at && up < kMaxWindowDepth; ++up) {
        GObjectPtr<AtspiAccessible> parent = calls_.parent(at.get());
        auto role = parent ? calls_.role(parent.get()) : std::nullopt;
        if (role == ATSPI_ROLE_APPLICATION) {
            return at;
        }
        at = std::move(parent);
    }
    return nullptr;
}

}  // namespace glimwick::os
