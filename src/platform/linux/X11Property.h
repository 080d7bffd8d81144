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

// The process a window belongs to, 0 when unknown: the X server's knowledge of the client
// that made it, first; a process in a namespace of its own (a sandbox) declares its number
// there, which on the host is another process, and two sandboxes' can be the same. Else, for
// a client the server cannot name (over the network), its own _NET_WM_PID, its client
// leader's, or its parents'.
Pid windowProcess(Display* display, Window window);

}  // namespace glimwick::os
