#include "platform/linux/X11Primary.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>
#include <glib-unix.h>
#include <unistd.h>

#include "platform/linux/GObjectPtr.h"
#include "platform/linux/X11Property.h"

namespace glimwick::os {

struct X11Primary::X11 {
    X11Primary& self;
    XDisplayPtr display;
    Window root = None;
    Window requestor = None;
    Atom primary = None;
    Atom utf8 = None;
    Atom incr = None;
    Atom property = None;
    Atom activeWindow = None;
    int fixesEvent = 0;
    guint watch = 0;
    guint idle = 0;

    // Who owns PRIMARY now, and what it holds once converted.
    Window owner = None;
    Pid ownerPid = 0;
    Time since = CurrentTime;
    bool known = false;
    std::optional<std::string> text;

    // A conversion under way.
    bool converting = false;
    Atom target = None;
    bool incremental = false;
    std::string buffer;
    guint limit = 0;

    explicit X11(X11Primary& self) : self(self) {}
    ~X11() {
        for (guint source : {watch, idle, limit}) {
            if (source != 0) {
                g_source_remove(source);
            }
        }
    }

    std::optional<unsigned long> cardinal(Window window, Atom name, Atom type) {
        return propertyValue(display.get(), window, name, type);
    }

    void ownerChanged(Window newOwner, Time timestamp) {
        cancel();
        owner = newOwner;
        since = timestamp;
        text.reset();
        known = false;
        if (owner == None) {
            // Given up: nothing is selected. The last owner hears of it.
            known = true;
            text = std::string();
            if (self.changed_) {
                self.changed_(ownerPid);
            }
            return;
        }
        ownerPid = windowProcess(display.get(), owner);
        if (ownerPid == getpid()) {
            known = true;  // never asked of ourselves
            return;
        }
        auto focused = focusedProcess();
        if (ownerPid > 0 && focused && *focused == ownerPid) {
            convert(utf8);
        }
    }

    std::optional<Pid> focusedProcess() {
        auto window = cardinal(root, activeWindow, XA_WINDOW);
        if (!window || *window == None) {
            return std::nullopt;
        }
        Pid pid = windowProcess(display.get(), *window);
        return pid > 0 ? std::optional(pid) : std::nullopt;
    }

    void convert(Atom as) {
        converting = true;
        target = as;
        incremental = false;
        buffer.clear();
        XDeleteProperty(display.get(), requestor, property);
        XConvertSelection(display.get(), primary, as, property, requestor, since);
        XFlush(display.get());
        if (limit == 0) {
            limit = g_timeout_add(kConversionLimitUs / 1000, &X11::onLimit, this);
        }
    }

    void cancel() {
        converting = false;
        incremental = false;
        buffer.clear();
        buffer.shrink_to_fit();
        if (limit != 0) {
            g_source_remove(limit);
            limit = 0;
        }
    }

    void finish(std::optional<std::string> result) {
        cancel();
        known = true;
        text = std::move(result);
        if (text) {
            if (!g_utf8_validate(text->data(), static_cast<gssize>(text->size()), nullptr)) {
                GCharPtr valid(g_utf8_make_valid(text->data(), static_cast<gssize>(text->size())));
                text = valid.get();
            }
            if (self.changed_) {
                self.changed_(ownerPid);
            }
        }
    }

    // The converted property, deleted as it is read (which asks an incremental owner for the
    // next part). Nullopt when it cannot be read or is too large.
    std::optional<std::string> take(Atom& type) {
        int format = 0;
        unsigned long count = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        constexpr long kMaxLongs = static_cast<long>(kMaxBytes / 4 + 1);
        if (XGetWindowProperty(display.get(), requestor, property, 0, kMaxLongs, True,
                               AnyPropertyType, &type, &format, &count, &after, &data) != Success) {
            return std::nullopt;
        }
        XDataPtr<unsigned char> owned(data);
        if (after != 0 || (format != 8 && data != nullptr)) {
            return std::nullopt;
        }
        return data != nullptr ? std::string(reinterpret_cast<const char*>(data), count)
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

    void drain() {
        while (XPending(display.get()) > 0) {
            XEvent event;
            XNextEvent(display.get(), &event);
            handle(event);
        }
    }

    // Requests made outside the event handler may have queued events without the
    // connection becoming readable again.
    void drainSoon() {
        if (idle == 0 && XEventsQueued(display.get(), QueuedAlready) > 0) {
            idle = g_idle_add(
                [](gpointer data) {
                    auto* x11 = static_cast<X11*>(data);
                    x11->idle = 0;
                    x11->drain();
                    return G_SOURCE_REMOVE;
                },
                this);
        }
    }

    static gboolean onReadable(gint, GIOCondition, gpointer data) {
        static_cast<X11*>(data)->drain();
        return G_SOURCE_CONTINUE;
    }

    static gboolean onLimit(gpointer data) {
        auto* x11 = static_cast<X11*>(data);
        x11->limit = 0;
        x11->finish(std::nullopt);
        return G_SOURCE_REMOVE;
    }
};

X11Primary::X11Primary() {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        return;
    }
    auto x11 = std::make_unique<X11>(*this);
    x11->display.reset(display);
    int error = 0;
    if (XFixesQueryExtension(display, &x11->fixesEvent, &error) == 0) {
        return;
    }
    x11->root = DefaultRootWindow(display);
    x11->primary = XA_PRIMARY;
    x11->utf8 = XInternAtom(display, "UTF8_STRING", False);
    x11->incr = XInternAtom(display, "INCR", False);
    x11->property = XInternAtom(display, "GLIMWICK_PRIMARY", False);
    x11->activeWindow = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
    x11->requestor = XCreateSimpleWindow(display, x11->root, -10, -10, 1, 1, 0, 0, 0);
    XSelectInput(display, x11->requestor, PropertyChangeMask);
    XFixesSelectSelectionInput(display, x11->root, XA_PRIMARY,
                               XFixesSetSelectionOwnerNotifyMask |
                                   XFixesSelectionWindowDestroyNotifyMask |
                                   XFixesSelectionClientCloseNotifyMask);
    // Whoever owns it already is converted only when asked for.
    x11->owner = XGetSelectionOwner(display, XA_PRIMARY);
    x11->ownerPid = x11->owner != None ? windowProcess(display, x11->owner) : 0;
    x11->known = x11->owner == None || x11->ownerPid == getpid();
    if (x11->owner == None) {
        x11->text = std::string();
    }
    XFlush(display);
    x11->watch = g_unix_fd_add(ConnectionNumber(display), G_IO_IN, &X11::onReadable, x11.get());
    x11_ = std::move(x11);
    x11_->drainSoon();
}

X11Primary::~X11Primary() {
    if (x11_) {
        x11_->cancel();
        XDestroyWindow(x11_->display.get(), x11_->requestor);
    }
}

std::optional<Pid> X11Primary::focusedProcess() {
    if (!x11_) {
        return std::nullopt;
    }
    auto pid = x11_->focusedProcess();
    x11_->drainSoon();
    return pid;
}

std::optional<std::string> X11Primary::selectionOf(Pid pid) {
    if (!x11_ || pid <= 0) {
        return std::nullopt;
    }
    if (x11_->owner == None) {
        return std::string();
    }
    if (x11_->ownerPid != pid) {
        return std::nullopt;
    }
    if (!x11_->known && !x11_->converting && pid != getpid()) {
        x11_->convert(x11_->utf8);  // the answer comes as a change
    }
    x11_->drainSoon();
    return x11_->known ? x11_->text : std::nullopt;
}

}  // namespace glimwick::os
