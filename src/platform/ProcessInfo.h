#pragma once

#include <sys/types.h>
#include <optional>
#include <string>
#include <vector>

namespace glimwick {

using Pid = pid_t;

// Facts about the running process and the bundle it was started from.
class ProcessInfo {
public:
    virtual ~ProcessInfo() = default;
    virtual Pid processIdentifier() const = 0;
    virtual Pid parentProcessIdentifier() const = 0;
    virtual std::vector<std::string> arguments() const = 0;
    virtual std::string operatingSystemVersionString() const = 0;
    virtual std::string bundlePath() const = 0;
    virtual std::optional<std::string> bundleIdentifier() const = 0;
};

}  // namespace glimwick
