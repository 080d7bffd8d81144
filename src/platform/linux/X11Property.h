#pragma once

#include <X11/Xlib.h>

#include <memory>
#include <optional>

#include "platform/ProcessInfo.h"

namespace glimwick::os {

struct XDisplayClose {
    void operator()(Display* display) const { XCloseDisplay(display); }
};
// A connection to the X server of our own.
using XDisplayPtr = std::unique_ptr<Display, XDisplayClose>;

struct XFreeData {
    void operator()(void* data) const {
        if (data != nullptr) {
            XFree(data);
        }
    }
};
// Memory that Xlib hands over.
template <typename T>
using XDataPtr = std::unique_ptr<T, XFreeData>;

// One 32-bit value (CARDINAL, WINDOW) of a window's property, or nothing.
inline std::optional<unsigned long> propertyValue(Display* display, Window window, Atom name,
                                                  Atom type) {
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window, name, 0, 1, False, type, &actualType, &format, &count,
                           &after, &data) != Success) {
        return std::nullopt;
    }
    XDataPtr<unsigned char> owned(data);
    if (data == nullptr || count != 1 || format != 32) {
        return std::nullopt;
    }
    return *reinterpret_cast<unsigned long*>(data);
}

// The process a window belongs to, 0 when unknown: its own _NET_WM_PID, its client leader's,
// or its parents'; else the X server's knowledge of the client that made it (a browser's
// selection owner, which is no one's top-level, or a Tk window, which declares no pid).
Pid windowProcess(Display* display, Window window);

}  // namespace glimwick::os
