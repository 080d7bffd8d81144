#pragma once

#include <X11/Xlib.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

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

// A window's property as the server gives it, with its type and format; nullopt when it
// cannot be read. remove deletes it as it is read (which asks an incremental owner for more).
struct Property {
    Atom type = None;
    int format = 0;
    unsigned long items = 0;
    unsigned long after = 0;  // bytes left unread past maxLongs
    XDataPtr<unsigned char> data;
};
std::optional<Property> readProperty(Display* display, Window window, Atom name, Atom type,
                                     long maxLongs, bool remove = false);
// Its 32-bit values (CARDINAL, WINDOW), at most maxItems; nullopt unless in that format.
std::optional<std::vector<unsigned long>> propertyLongs(Display* display, Window window, Atom name,
                                                        Atom type, long maxItems);
// Its bytes (STRING, UTF8_STRING); nullopt unless in that format.
std::optional<std::string> propertyBytes(Display* display, Window window, Atom name, Atom type);
// One 32-bit value, or nothing.
std::optional<unsigned long> propertyValue(Display* display, Window window, Atom name, Atom type);

// The process a window belongs to, 0 when unknown: its own _NET_WM_PID, its client leader's,
// or its parents'; else the X server's knowledge of the client that made it (a browser's
// selection owner, which is no one's top-level, or a Tk window, which declares no pid).
Pid windowProcess(Display* display, Window window);

}  // namespace glimwick::os
