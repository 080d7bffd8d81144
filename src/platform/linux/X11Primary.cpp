#include "platform/linux/X11Primary.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/Xfixes.h>
#include <unistd.h>

#include <algorithm>
#include <array>
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
    int inputOpcode = -1;  // XInput2's; -1 without it

    // Who owns PRIMARY now, and what it holds once converted.
    Window owner = None;
    Pid ownerPid = 0;
    Time since = CurrentTime;
    bool known = false;
    std::optional<std::string> text;
    PrimaryClaim claim;  // whether it counts as selected in front

    // The process PRIMARY stands in for, while the active window is the one it was asked
    // under: its owner's text is converted again after the user's gestures.
    Pid standsInFor = 0;
    std::uint64_t standsInGeneration = 0;
    guint quiet = 0;        // a gesture's conversion, due once the burst is over
    bool gestured = false;  // the conversion under way follows a gesture
    // The backstop's conversions, while the owner answers; one that let a conversion time out
    // is not asked again until it owns PRIMARY anew.
    gint64 convertedAt = 0;
    bool answering = false;
    bool silent = false;

    // A conversion under way; again: of an owner's text known already.
    bool converting = false;
    bool again = false;
    Atom target = None;
    bool incremental = false;
    std::string buffer;
    guint limit = 0;

    X11(X11Primary& self, X11Desktop& desktop)
        : self(self), desktop(desktop), display(desktop.display()) {}
    ~X11() {
        cancel();
        if (quiet != 0) {
            g_source_remove(quiet);
        }
    }

    bool counts() const { return claim.counts(ownerPid, desktop.activeGeneration()); }

    void ownerChanged(Window newOwner, Time timestamp) {
        cancel();
        self.ownerChanged();
        owner = newOwner;
        since = timestamp;
        text.reset();
        known = false;
        claim = {};
        again = false;
        answering = false;
        silent = false;
        if (owner == None) {
            // Given up: nothing is selected. The last owner hears of it.
            known = true;
            text = std::string();
            self.changed(ownerPid);
            return;
        }
        ownerPid = windowProcess(display, owner);
        if (ownerPid == getpid()) {
            known = true;  // never asked of ourselves
            return;
        }
        claim.set(ownerPid, self.focusedProcess(), desktop.activeGeneration());
        if (counts()) {
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

    // refused: the owner said it has no text to give.
    void finish(std::optional<std::string> result, bool refused = false) {
        cancel();
        bool refreshed = std::exchange(again, false);
        if (std::exchange(gestured, false) && refused) {
            result = std::string();  // after the user's gesture, the owner's word for a deselect
        }
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
        text = std::move(result);
        self.changed(ownerPid);
    }

    void refresh() {
        if (!converting && answering && text && text->size() <= kMaxBackstopBytes &&
            g_get_monotonic_time() - convertedAt >= kBackstopUs) {
            again = true;
            convert(utf8);
        }
    }

    bool standsIn() const {
        return owner != None && ownerPid > 0 && ownerPid == standsInFor && !silent &&
               standsInGeneration == desktop.activeGeneration() && counts();
    }

    // A button or key released: the owner may hold a new selection, or none.
    void gesture() {
        if (quiet != 0) {
            g_source_remove(quiet);
        } else if (!standsIn()) {
            return;
        }
        quiet = g_timeout_add(kGestureQuietMs, &X11::onQuiet, this);
    }

    static gboolean onQuiet(gpointer data) {
        auto* x11 = static_cast<X11*>(data);
        x11->quiet = 0;
        if (x11->standsIn()) {
            x11->cancel();  // an answer under way may predate the gesture
            x11->again = x11->known && x11->text.has_value();
            x11->gestured = true;
            x11->convert(x11->utf8);
        }
        return G_SOURCE_REMOVE;
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
                finish(std::nullopt, true);
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
        } else if (event.type == GenericEvent && event.xcookie.extension == inputOpcode &&
                   (event.xcookie.evtype == XI_RawButtonRelease ||
                    event.xcookie.evtype == XI_RawKeyRelease)) {
            gesture();  // the event's data (which button, which key) is never fetched
        }
    }

    static gboolean onLimit(gpointer data) {
        auto* x11 = static_cast<X11*>(data);
        x11->limit = 0;
        x11->silent = true;
        x11->finish(std::nullopt);
        return G_SOURCE_REMOVE;
    }
};

namespace {

// Raw releases of every button and key, heard on the root window whatever has the focus.
void listenForGestures(Display* display, Window root, int& opcode) {
    int event = 0;
    int error = 0;
    // From 2.1 raw events come also while another client grabs the device (a window
    // manager's click to focus), as the user's gestures usually are.
    int major = 2;
    int minor = 2;
    if (XQueryExtension(display, "XInputExtension", &opcode, &event, &error) == 0 ||
        XIQueryVersion(display, &major, &minor) != Success || major * 10 + minor < 21) {
        opcode = -1;
        return;
    }
    std::array<unsigned char, XIMaskLen(XI_LASTEVENT)> bits{};
    XISetMask(bits.data(), XI_RawButtonRelease);
    XISetMask(bits.data(), XI_RawKeyRelease);
    XIEventMask mask{XIAllMasterDevices, static_cast<int>(bits.size()), bits.data()};
    XISelectEvents(display, root, &mask, 1);
}

}  // namespace

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
    listenForGestures(display, root, x11->inputOpcode);
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

void X11Primary::focusMoved() {
    if (x11_) {
        x11_->claim.focusMoved();
    }
}

std::optional<std::string> X11Primary::selectionOf(Pid pid) {
    if (!x11_ || pid <= 0) {
        return std::nullopt;
    }
    if (x11_->owner == None) {
        return std::string();
    }
    x11_->standsInFor = pid;
    x11_->standsInGeneration = x11_->desktop.activeGeneration();
    if (!x11_->claim.counts(pid, x11_->desktop.activeGeneration())) {
        return std::nullopt;
    }
    x11_->refresh();
    x11_->desktop.drainSoon();
    return x11_->known ? x11_->text : std::nullopt;
}

}  // namespace glimwick::os
