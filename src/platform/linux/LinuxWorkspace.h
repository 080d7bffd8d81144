#pragma once

#include <memory>

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

    struct X11;

private:
    std::unique_ptr<X11> x11_;
};

}  // namespace glimwick::os
