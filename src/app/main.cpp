#include <cstdio>

#include "app/HelperAppDelegate.h"
#include "platform/linux/LinuxPlatform.h"

int main(int argc, char** argv) {
    glimwick::os::LinuxPlatform::configureProcess();
    std::string error;
    auto linuxPlatform = glimwick::os::LinuxPlatform::create(argc, argv, error);
    if (!linuxPlatform) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    glimwick::Platform platform = linuxPlatform->platform();
    glimwick::Application& application = platform.application;
    glimwick::HelperAppDelegate delegate(platform);
    application.setDelegate(&delegate);

    int status = 0;
    // A session helper ends with its session.
    linuxPlatform->setBusClosedHandler([&] {
        status = 1;
        application.terminate();
    });
    application.run();
    return status;
}
