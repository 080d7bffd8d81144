#pragma once

#include <X11/Xlib.h>
#include <glib.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/ProcessInfo.h"
#include "platform/linux/X11Property.h"

namespace glimwick::os {

// The one connection to the X server, which every X11 service of the helper borrows. Its
// events are read on the main loop. The active window, its process and its class are kept
// from the root window's property changes, so asking for them costs no request. Inert
// without an X display (Wayland).
class X11Desktop {
public:
    X11Desktop();
    ~X11Desktop();
    X11Desktop(const X11Desktop&) = delete;
    X11Desktop& operator=(const X11Desktop&) = delete;

    bool available() const { return display_ != nullptr; }
    Display* display() const { return display_.get(); }
    Window root() const { return root_; }

    struct Active {
        Window window = None;
        Pid pid = 0;  // 0: unknown
        std::optional<std::string> resourceClass;
    };
    // What X11 names as the active window; nullopt when it names none.
    std::optional<Active> active() const;
    // Counts the changes of the active window.
    std::uint64_t activeGeneration() const { return generation_; }

    // Sees every event, after the active window has been brought up to date.
    void setEventHandler(std::function<void(XEvent&)> handler) { handler_ = std::move(handler); }
    // Requests made outside an event handler may have queued events without the connection
    // becoming readable again: they are handled on the next turn of the main loop.
    void drainSoon();

private:
    void readActive();
    void drain();

    XDisplayPtr display_;
    Window root_ = None;
    Atom activeAtom_ = None;
    std::optional<Active> active_;
    std::uint64_t generation_ = 0;
    std::function<void(XEvent&)> handler_;
    guint watch_ = 0;
    guint idle_ = 0;
};

}  // namespace glimwick::os
