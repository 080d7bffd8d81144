#include "platform/linux/LinuxProcessInfo.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#ifndef GLIMWICK_BUNDLE_ID
#define GLIMWICK_BUNDLE_ID ""
#endif

namespace glimwick::os {

namespace {

std::string versionFromUname() {
    struct utsname name {};
    if (uname(&name) != 0) {
        return "Linux";
    }
    // Reads like `uname -srvm`.
    return std::string(name.sysname) + " " + name.release + " " + name.version + " " + name.machine;
}

// The directory that holds the running executable, symbolic links resolved.
std::string executableDirectory() {
    std::error_code error;
    auto path = std::filesystem::canonical("/proc/self/exe", error);
    if (error) {
        return std::filesystem::current_path(error).string();
    }
    return path.parent_path().string();
}

}  // namespace

LinuxProcessInfo::LinuxProcessInfo(int argc, char** argv)
    : arguments_(argv, argv + argc),
      osVersion_(versionFromUname()),
      bundlePath_(executableDirectory()) {}

Pid LinuxProcessInfo::processIdentifier() const {
    return getpid();
}

Pid LinuxProcessInfo::parentProcessIdentifier() const {
    return getppid();
}

std::optional<std::string> LinuxProcessInfo::bundleIdentifier() const {
    std::string id = GLIMWICK_BUNDLE_ID;
    if (id.empty()) {
        return std::nullopt;
    }
    return id;
}

}  // namespace glimwick::os
