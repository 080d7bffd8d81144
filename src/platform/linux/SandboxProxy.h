#pragma once

#include "platform/ProcessInfo.h"

namespace glimwick::os {

// A sandbox (Flatpak and the like) puts a D-Bus proxy (xdg-dbus-proxy) between its
// application and the buses, so a bus knows the application's connection by the proxy's
// process. pid: a process a bus named. Its own number, unless it is such a proxy: then the
// process on the host that connects through it (the first started of several, an
// application's main process); pid itself when none can be found.
Pid processBehindProxy(Pid pid);

}  // namespace glimwick::os
