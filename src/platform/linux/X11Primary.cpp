#include "platform/linux/X11Primary.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "platform/linux/GObjectPtr.h"
#include "platform/linux/X11Desktop.h"
#include "platform/linux/X11Property.h"

namespace glimwick::os {

struct X11Primary::X11 {
    X11Primary& self;
    X11Desktop& desktop;
    Display* display = nullptr;  // the desktop's
    Window requestor = None;
    Atom primary = None;
    Atom utf8 = None;
    Atom incr = None;
    Atom property = None;
    int fixesEvent = 0;

    // Who owns PRIMARY now, and what it holds once converted.
    Window owner = None;
    Pid ownerPid = 0;
    Time since = CurrentTime;
    bool known = false;
    std::optional<std::string> text;
    std::uint64_t changes = 0;
    gint64 changedAt = 0;
    // Set by its owner while in front, and the focus has not moved since.
    bool fresh = false;
    std::uint64_t activeGeneration = 0;

    // An owner may keep PRIMARY while its selection grows (AbiWord, GTK): its text is converted
    // again as it is read, often while it has just changed, then now and then, while the owner
    // answers.
    gint64 settleUntil = 0;
    gint64 convertedAt = 0;
    bool answering = false;

    // A conversion under way; again: of an owner's text known already.
    bool converting = false;
    bool again = false;
    Atom target = None;
    bool incremental = false;
    std::string buffer;
    guint limit = 0;

    X11(X11Primary& self, X11Desktop& desktop)
        : self(self), desktop(desktop), display(desktop.display()) {}
    ~X11() { cancel(); }

    bool isFresh() const { return fresh && activeGeneration == desktop.activeGeneration(); }

    void ownerChanged(Window newOwner, Time timestamp) {
        cancel();
        ++changes;
        changedAt = g_get_monotonic_time();
        owner = newOwner;
        since = timestamp;
        text.reset();
        known = false;
        fresh = false;
        again = false;
        answering = false;
        if (owner == None) {
            // Given up: nothing is selected. The last owner hears of it.
            known = true;
            text = std::string();
            if (self.changed_) {
                self.changed_(ownerPid);
            }
            return;
        }
        ownerPid = windowProcess(display, owner);
        if (ownerPid == getpid()) {
            known = true;  // never asked of ourselves
            return;
        }
        auto focused = self.focusedProcess();
        if (ownerPid > 0 && focused && *focused == ownerPid) {
            fresh = true;
            activeGeneration = desktop.activeGeneration();
            settleUntil = changedAt + kSettleUs;
            convert(utf8);
        }
    }

    // Each conversion has a requestor window of its own, destroyed when it ends: an answer
    // that comes after the conversion was given up or replaced has no window to arrive at, so
    // it is never taken for the next one's (owners reuse the request's time, and so do we).
    void convert(Atom as) {
        dropRequestor();
        requestor = XCreateSimpleWindow(display, desktop.root(), -10, -10, 1, 1, 0, 0, 0);
        XSelectInput(display, requestor, PropertyChangeMask);
        converting = true;
        convertedAt = g_get_monotonic_time();
        target = as;
        incremental = false;
        buffer.clear();
        XConvertSelection(display, primary, as, property, requestor, since);
        XFlush(display);
        if (limit == 0) {
            limit = g_timeout_add(kConversionLimitUs / 1000, &X11::onLimit, this);
        }
    }

    void cancel() {
        converting = false;
        incremental = false;
        buffer.clear();
        buffer.shrink_to_fit();
        dropRequestor();
        if (limit != 0) {
            g_source_remove(limit);
            limit = 0;
        }
    }

    void dropRequestor() {
        if (requestor != None) {
            XDestroyWindow(display, requestor);
            XFlush(display);
            requestor = None;
        }
    }

    void finish(std::optional<std::string> result) {
        cancel();
        bool refreshed = std::exchange(again, false);
        known = true;
        answering = result.has_value();
        if (!result) {
            // An owner that gave nothing is not asked again; what it gave before still holds.
            if (!refreshed) {
                text.reset();
            }
            return;
        }
        // Some owners count the C string's terminator in (AbiWord): it is not text.
        while (!result->empty() && result->back() == '\0') {
            result->pop_back();
        }
        if (!g_utf8_validate(result->data(), static_cast<gssize>(result->size()), nullptr)) {
            GCharPtr valid(g_utf8_make_valid(result->data(), static_cast<gssize>(result->size())));
            result = valid.get();
        }
        if (refreshed && result == text) {
            return;
        }
        settleUntil = std::max(settleUntil, g_get_monotonic_time() + kSettleUs);
        text = std::move(result);
        if (self.changed_) {
            self.changed_(ownerPid);
        }
    }

    void refresh() {
        gint64 now = g_get_monotonic_time();
        gint64 interval = now < settleUntil ? kRefreshUs : kHeldRefreshUs;
        if (!converting && answering && text && text->size() <= kMaxRefreshBytes &&
            now - convertedAt >= interval) {
            again = true;
            convert(utf8);
        }
    }

    // The converted property, deleted as it is read (which asks an incremental owner for the
    // next part). Nullopt when it cannot be read or is too large.
    std::optional<std::string> take(Atom& type) {
        constexpr long kMaxLongs = static_cast<long>(kMaxBytes / 4 + 1);
        auto read = readProperty(display, requestor, property, AnyPropertyType, kMaxLongs, true);
        type = read ? read->type : None;
        if (!read || read->after != 0 || (read->format != 8 && read->data)) {
            return std::nullopt;
        }
        return read->data
                   ? std::string(reinterpret_cast<const char*>(read->data.get()), read->items)
                   : std::string();
    }

    void onSelectionNotify(const XSelectionEvent& event) {
        if (!converting || event.requestor != requestor || event.selection != primary) {
            return;
        }
        if (event.property == None) {
            // Not offered as UTF-8: Latin-1 is what every owner must give.
            if (target == utf8) {
                convert(XA_STRING);
            } else {
                finish(std::nullopt);
            }
            return;
        }
        Atom type = None;
        auto bytes = take(type);
        if (type == incr) {
            incremental = true;  // the parts follow as the property changes
            return;
        }
        if (bytes && type == XA_STRING) {
            GCharPtr converted(g_convert(bytes->data(), static_cast<gssize>(bytes->size()), "UTF-8",
                                         "ISO-8859-1", nullptr, nullptr, nullptr));
            bytes = converted ? std::optional<std::string>(converted.get()) : std::nullopt;
        }
        finish(std::move(bytes));
    }

    void onPropertyNotify(const XPropertyEvent& event) {
        if (!incremental || event.window != requestor || event.atom != property ||
            event.state != PropertyNewValue) {
            return;
        }
        Atom type = None;
        auto part = take(type);
        if (!part || buffer.size() + part->size() > kMaxBytes) {
            finish(std::nullopt);
            return;
        }
        if (part->empty()) {
            std::string whole = std::move(buffer);
            finish(std::move(whole));
            return;
        }
        buffer += *part;
    }

    void handle(XEvent& event) {
        if (event.type == fixesEvent + XFixesSelectionNotify) {
            const auto& notify = reinterpret_cast<const XFixesSelectionNotifyEvent&>(event);
            if (notify.selection == primary) {
                ownerChanged(notify.subtype == XFixesSetSelectionOwnerNotify ? notify.owner : None,
                             notify.selection_timestamp);
            }
        } else if (event.type == SelectionNotify) {
            onSelectionNotify(event.xselection);
        } else if (event.type == PropertyNotify) {
            onPropertyNotify(event.xproperty);
        }
    }

    static gboolean onLimit(gpointer data) {
        auto* x11 = static_cast<X11*>(data);
        x11->limit = 0;
        x11->finish(std::nullopt);
        return G_SOURCE_REMOVE;
    }
};

X11Primary::X11Primary(X11Desktop& desktop) {
    Display* display = desktop.display();
    int error = 0;
    auto x11 = std::make_unique<X11>(*this, desktop);
    if (display == nullptr || XFixesQueryExtension(display, &x11->fixesEvent, &error) == 0) {
        return;
    }
    Window root = desktop.root();
    x11->primary = XA_PRIMARY;
    x11->utf8 = XInternAtom(display, "UTF8_STRING", False);
    x11->incr = XInternAtom(display, "INCR", False);
    x11->property = XInternAtom(display, "GLIMWICK_PRIMARY", False);
    XFixesSelectSelectionInput(display, root, XA_PRIMARY,
                               XFixesSetSelectionOwnerNotifyMask |
                                   XFixesSelectionWindowDestroyNotifyMask |
                                   XFixesSelectionClientCloseNotifyMask);
    // What the owner holds already was selected before we looked: not fresh, never converted.
    x11->owner = XGetSelectionOwner(display, XA_PRIMARY);
    x11->ownerPid = x11->owner != None ? windowProcess(display, x11->owner) : 0;
    x11->known = true;
    if (x11->owner == None) {
        x11->text = std::string();
    }
    XFlush(display);
    desktop.setEventHandler([x11 = x11.get()](XEvent& event) { x11->handle(event); });
    x11_ = std::move(x11);
    desktop.drainSoon();
}

X11Primary::~X11Primary() {
    if (x11_) {
        x11_->desktop.setEventHandler(nullptr);
        x11_->cancel();
    }
}

std::optional<Pid> X11Primary::focusedProcess() const {
    auto active = x11_ ? x11_->desktop.active() : std::nullopt;
    return active && active->pid > 0 ? std::optional(active->pid) : std::nullopt;
}

std::uint64_t X11Primary::activeGeneration() const {
    return x11_ ? x11_->desktop.activeGeneration() : 0;
}

std::uint64_t X11Primary::ownerChanges() const {
    return x11_ ? x11_->changes : 0;
}

gint64 X11Primary::ownerChangedAt() const {
    return x11_ ? x11_->changedAt : 0;
}

void X11Primary::focusMoved() {
    if (x11_) {
        x11_->fresh = false;
    }
}

std::optional<std::string> X11Primary::selectionOf(Pid pid) {
    if (!x11_ || pid <= 0) {
        return std::nullopt;
    }
    if (x11_->owner == None) {
        return std::string();
    }
    if (x11_->ownerPid != pid || !x11_->isFresh()) {
        return std::nullopt;
    }
    x11_->refresh();
    x11_->desktop.drainSoon();
    return x11_->known ? x11_->text : std::nullopt;
}

}  // namespace glimwick::os
