#pragma once

#include "platform/Workspace.h"

namespace glimwick::os {

class LinuxWorkspace : public Workspace {
public:
    std::optional<RunningApplication> frontmostApplication() override { return std::nullopt; }
    void openURL(const std::string& url) override;
    Point mouseLocation() override { return {}; }
};

}  // namespace glimwick::os
