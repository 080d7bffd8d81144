#pragma once

#include <memory>
#include <string>

#include "platform/Workspace.h"

namespace glimwick::os {

// The front application and the pointer from the X server (EWMH _NET_ACTIVE_WINDOW and
// _NET_WM_PID); none and (0, 0) when there is no X display.
class LinuxWorkspace : public Workspace {
public:
    LinuxWorkspace();
    ~LinuxWorkspace() override;

    std::optional<RunningApplication> frontmostApplication() override;
    void openURL(const std::string& url) override;
    Point mouseLocation() override;
    // Where the content of a top-level window of pid starts on screen: the window titled
    // title, or its only one; size is the content's own, from the toolkit.
    std::optional<Point> windowOrigin(Pid pid, const std::string& title, Point size);

    struct X11;

private:
    std::unique_ptr<X11> x11_;
};

}  // namespace glimwick::os
