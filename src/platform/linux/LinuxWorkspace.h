#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/Workspace.h"

namespace glimwick::os {

class SwayFocus;
class X11Desktop;

// What the desktop's accessibility knows where X11 does not (Wayland clients).
struct AccessibleDesk {
    // The application whose top-level window is active.
    std::function<std::optional<RunningApplication>()> activeApplication;
    // Where the user last acted: the caret in the focused text, else the focused element's
    // centre.
    std::function<std::optional<Point>()> pointerStandIn;
};

// The front application and the pointer from the X server (EWMH _NET_ACTIVE_WINDOW and
// _NET_WM_PID) while it knows them. Else the front application as sway knows it, where it
// says; else from accessibility (no X display, no active X11 window, or only XWayland's
// pointer, which moves over X11 windows alone).
class LinuxWorkspace : public Workspace {
public:
    // desktop and sway are borrowed and outlive this object.
    LinuxWorkspace(X11Desktop& desktop, SwayFocus& sway, AccessibleDesk desk);
    ~LinuxWorkspace() override;

    std::optional<RunningApplication> frontmostApplication() override;
    void openURL(const std::string& url) override;
    Point mouseLocation() override;
    // The X server's pointer, while it moves over the active window (not XWayland's over a
    // native one); else mouseLocation stands in with accessibility's focus.
    bool pointerKnown() const;
    // Where the content of a top-level window of pid starts on screen: the window titled
    // title, or its only one; size is the content's own, from the toolkit. (0, 0) for a
    // process without X11 windows: a Wayland client's coordinates are its window's.
    std::optional<Point> windowOrigin(Pid pid, const std::string& title, Point size);

    struct X11;

private:
    SwayFocus& sway_;
    AccessibleDesk desk_;
    std::unique_ptr<X11> x11_;
};

}  // namespace glimwick::os
