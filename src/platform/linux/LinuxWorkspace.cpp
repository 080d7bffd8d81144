#include "platform/linux/LinuxWorkspace.h"

#include <gio/gio.h>

namespace glimwick::os {

void LinuxWorkspace::openURL(const std::string& url) {
    if (!g_uri_is_valid(url.c_str(), G_URI_FLAGS_NONE, nullptr)) {
        return;
    }
    // Launching is asynchronous and its failure is not ours to report.
    g_app_info_launch_default_for_uri_async(url.c_str(), nullptr, nullptr, nullptr, nullptr);
}

}  // namespace glimwick::os
