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

std::optional<Property> readProperty(Display* display, Window window, Atom name, Atom type,
                                     long maxLongs, bool remove) {
    Property property;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window, name, 0, maxLongs, remove ? True : False, type,
                           &property.type, &property.format, &property.items, &property.after,
                           &data) != Success) {
        return std::nullopt;
    }
    property.data.reset(data);
    return property;
}

std::optional<std::vector<unsigned long>> propertyLongs(Display* display, Window window, Atom name,
                                                        Atom type, long maxItems) {
    auto property = readProperty(display, window, name, type, maxItems);
    if (!property || !property->data || property->format != 32) {
        return std::nullopt;
    }
    const auto* longs = reinterpret_cast<const unsigned long*>(property->data.get());
    return std::vector<unsigned long>(longs, longs + property->items);
}

std::optional<std::string> propertyBytes(Display* display, Window window, Atom name, Atom type) {
    constexpr long kMaxLongs = 1 << 16;
    auto property = readProperty(display, window, name, type, kMaxLongs);
    if (!property || !property->data || property->format != 8) {
        return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(property->data.get()), property->items);
}

std::optional<unsigned long> propertyValue(Display* display, Window window, Atom name, Atom type) {
    auto values = propertyLongs(display, window, name, type, 1);
    return values && values->size() == 1 ? std::optional(values->front()) : std::nullopt;
}

Pid windowProcess(Display* display, Window window) {
    XResClientIdSpec client{window, XRES_CLIENT_ID_PID_MASK};
    long count = 0;
    XResClientIdValue* values = nullptr;
    Pid pid = 0;
    if (XResQueryClientIds(display, 1, &client, &count, &values) == Success) {
        for (long i = 0; i < count && pid <= 0; ++i) {
            pid = XResGetClientPid(&values[i]);
        }
        XResClientIdsDestroy(count, values);
    }
    return pid > 0 ? pid : declaredProcess(display, window);
}

}  // namespace glimwick::os
