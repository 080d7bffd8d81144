#include "platform/linux/X11Desktop.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <glib-unix.h>

namespace glimwick::os {

X11Desktop::X11Desktop() {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        return;
    }
    display_.reset(display);
    root_ = DefaultRootWindow(display);
    activeAtom_ = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
    XSelectInput(display, root_, PropertyChangeMask);
    readActive();
    watch_ = g_unix_fd_add(
        ConnectionNumber(display), G_IO_IN,
        [](gint, GIOCondition, gpointer self) -> gboolean {
            static_cast<X11Desktop*>(self)->drain();
            return G_SOURCE_CONTINUE;
        },
        this);
    drainSoon();
}

X11Desktop::~X11Desktop() {
    for (guint source : {watch_, idle_}) {
        if (source != 0) {
            g_source_remove(source);
        }
    }
}

std::optional<X11Desktop::Active> X11Desktop::active() const {
    return active_;
}

// Asked again at every change of the property, and when the active window goes: a window's
// number is used again by the next client once its own has gone.
void X11Desktop::readActive() {
    auto window = propertyValue(display_.get(), root_, activeAtom_, XA_WINDOW);
    Window now = window && *window != None ? *window : None;
    std::optional<Active> found;
    if (now != None) {
        found = Active{now, windowProcess(display_.get(), now), std::nullopt};
        XClassHint hint{};
        if (XGetClassHint(display_.get(), now, &hint) != 0) {
            XDataPtr<char> name(hint.res_name);
            XDataPtr<char> resourceClass(hint.res_class);
            if (resourceClass) {
                found->resourceClass = resourceClass.get();
            }
        }
    }
    Window before = active_ ? active_->window : None;
    bool same =
        active_ ? found && found->window == active_->window && found->pid == active_->pid : !found;
    if (before != now) {
        if (before != None) {
            XSelectInput(display_.get(), before, NoEventMask);
        }
        if (now != None) {
            XSelectInput(display_.get(), now, StructureNotifyMask);
        }
    }
    active_ = std::move(found);
    if (!same) {
        ++generation_;
    }
}

void X11Desktop::drain() {
    while (XPending(display_.get()) > 0) {
        XEvent event;
        XNextEvent(display_.get(), &event);
        bool activeChanged = event.type == PropertyNotify && event.xproperty.window == root_ &&
                             event.xproperty.atom == activeAtom_;
        bool activeGone = event.type == DestroyNotify && active_ &&
                          event.xdestroywindow.window == active_->window;
        if (activeChanged || activeGone) {
            readActive();
        }
        if (handler_) {
            handler_(event);
        }
    }
}

void X11Desktop::drainSoon() {
    if (display_ && idle_ == 0 && XEventsQueued(display_.get(), QueuedAlready) > 0) {
        // At the default priority: a busy loop must not leave the active window unread.
        idle_ = g_idle_add_full(
            G_PRIORITY_DEFAULT,
            [](gpointer self) -> gboolean {
                auto* desktop = static_cast<X11Desktop*>(self);
                desktop->idle_ = 0;
                desktop->drain();
                return G_SOURCE_REMOVE;
            },
            this, nullptr);
    }
}

}  // namespace glimwick::os
