#include "platform/linux/X11Property.h"

#include <X11/Xatom.h>
#include <X11/extensions/XRes.h>

#include <cstdint>

namespace glimwick::os {

namespace {

// Owner windows sit below their top-level, which has the process id.
constexpr int kMaxParentWalk = 8;

Pid declaredProcess(Display* display, Window window) {
    // Xlib keeps interned atoms, so these ask the server once per connection.
    const Atom wmPid = XInternAtom(display, "_NET_WM_PID", False);
    const Atom clientLeader = XInternAtom(display, "WM_CLIENT_LEADER", False);
    auto pidOf = [&](Window candidate) -> Pid {
        auto pid = propertyValue(display, candidate, wmPid, XA_CARDINAL);
        return pid && *pid > 0 && *pid <= static_cast<unsigned long>(INT32_MAX)
                   ? static_cast<Pid>(*pid)
                   : 0;
    };
    for (int step = 0; window != None && step < kMaxParentWalk; ++step) {
        if (Pid pid = pidOf(window); pid > 0) {
            return pid;
        }
        auto leader = propertyValue(display, window, clientLeader, XA_WINDOW);
        if (Pid pid = leader && *leader != None ? pidOf(*leader) : 0; pid > 0) {
            return pid;
        }
        Window root = None;
        Window parent = None;
        Window* children = nullptr;
        unsigned int count = 0;
        if (XQueryTree(display, window, &root, &parent, &children, &count) == 0) {
            return 0;
        }
        XDataPtr<Window> owned(children);
        window = parent == root ? None : parent;
    }
    return 0;
}

}  // namespace

Pid windowProcess(Display* display, Window window) {
    Pid pid = declaredProcess(display, window);
    if (pid > 0) {
        return pid;
    }
    XResClientIdSpec client{window, XRES_CLIENT_ID_PID_MASK};
    long count = 0;
    XResClientIdValue* values = nullptr;
    if (XResQueryClientIds(display, 1, &client, &count, &values) != Success) {
        return 0;
    }
    for (long i = 0; i < count && pid <= 0; ++i) {
        pid = XResGetClientPid(&values[i]);
    }
    XResClientIdsDestroy(count, values);
    return pid > 0 ? pid : 0;
}

}  // namespace glimwick::os
