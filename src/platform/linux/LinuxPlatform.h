#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/Platform.h"

namespace glimwick::os {

// The real platform: GLib main loop, D-Bus session bus, the process's own facts, stdout and the
// desktop's accessibility. No GLib type shows through this header.
class LinuxPlatform {
public:
    // The settings that hold for the whole process (signals, allocator, X errors); made once,
    // first thing in main.
    static void configureProcess();
    // Nullopt-like: nullptr with a one-line reason when the session bus cannot be reached.
    static std::unique_ptr<LinuxPlatform> create(int argc, char** argv, std::string& error);
    ~LinuxPlatform();

    Platform platform();
    // Runs once if the session bus goes away; the reason has been printed to stderr by then.
    void setBusClosedHandler(std::function<void()> handler);

    struct Parts;

private:
    explicit LinuxPlatform(std::unique_ptr<Parts> parts);
    std::unique_ptr<Parts> parts_;
};

}  // namespace glimwick::os
