#pragma once

#include <optional>
#include <string>

#include "platform/Geometry.h"
#include "platform/ProcessInfo.h"

namespace glimwick {

struct RunningApplication {
    Pid processIdentifier = 0;
    std::optional<std::string> localizedName;
};

// The desktop around the helper: which application is in front, URLs, the pointer.
class Workspace {
public:
    virtual ~Workspace() = default;
    virtual std::optional<RunningApplication> frontmostApplication() = 0;
    // Opens url when it parses; failures are not reported.
    virtual void openURL(const std::string& url) = 0;
    // Pointer position in the coordinates of accessibility rectangles: origin at the top-left,
    // y downward.
    virtual Point mouseLocation() = 0;
};

}  // namespace glimwick
