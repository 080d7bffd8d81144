#pragma once

#include "platform/ProcessInfo.h"

namespace glimwick::os {

class LinuxProcessInfo : public ProcessInfo {
public:
    LinuxProcessInfo(int argc, char** argv);

    Pid processIdentifier() const override;
    Pid parentProcessIdentifier() const override;
    std::vector<std::string> arguments() const override { return arguments_; }
    std::string operatingSystemVersionString() const override { return osVersion_; }
    std::string bundlePath() const override { return bundlePath_; }
    std::optional<std::string> bundleIdentifier() const override;

private:
    std::vector<std::string> arguments_;
    std::string osVersion_;
    std::string bundlePath_;
};

}  // namespace glimwick::os
