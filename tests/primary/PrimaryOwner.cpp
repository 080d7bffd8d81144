// An X11 application without accessibility that owns PRIMARY with known text, for the
// end-to-end tests of the PRIMARY source. Usage: glimwick_primary_owner TITLE BYTES [--silent]
// Maps a window titled TITLE that declares no pid (as Tk's do), prints "ready XID", then takes
// commands on stdin: "own" (PRIMARY holds BYTES bytes of "abc...z\n" repeated) and "disown",
// each answered "ok". Large texts go incrementally (INCR), as toolkits send them; --silent never
// answers. Each conversion asked of it is printed as "request".

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace {

constexpr std::size_t kChunk = 64 * 1024;

struct Transfer {
    Atom property;
    Atom type;
    std::size_t offset = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s TITLE BYTES [--silent]\n", argv[0]);
        return 2;
    }
    std::string text(std::strtoul(argv[2], nullptr, 10), '\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
        text[i] = "abcdefghijklmnopqrstuvwxyz\n"[i % 27];
    }
    bool silent = argc > 3 && std::string(argv[3]) == "--silent";
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        return 1;
    }
    Window window =
        XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 300, 200, 0, 0, 0xffffff);
    XStoreName(display, window, argv[1]);
    XMapWindow(display, window);
    // Like a browser's, the selection's owner is a window of no top-level, without a pid.
    Window owner =
        XCreateSimpleWindow(display, DefaultRootWindow(display), -10, -10, 1, 1, 0, 0, 0);
    XSync(display, False);
    std::printf("ready %lu\n", window);
    std::fflush(stdout);

    Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    Atom incr = XInternAtom(display, "INCR", False);
    Atom targets = XInternAtom(display, "TARGETS", False);
    std::map<Window, Transfer> transfers;
    std::string line;
    for (;;) {
        pollfd fds[2] = {{0, POLLIN, 0}, {ConnectionNumber(display), POLLIN, 0}};
        if (XPending(display) == 0 && poll(fds, 2, -1) < 0) {
            return 1;
        }
        if ((fds[0].revents & (POLLIN | POLLHUP)) != 0) {
            char buffer[256];
            ssize_t got = read(0, buffer, sizeof buffer);
            if (got <= 0) {
                return 0;
            }
            line.append(buffer, static_cast<std::size_t>(got));
            for (auto end = line.find('\n'); end != std::string::npos; end = line.find('\n')) {
                std::string command = line.substr(0, end);
                line.erase(0, end + 1);
                XSetSelectionOwner(display, XA_PRIMARY, command == "own" ? owner : None,
                                   CurrentTime);
                XSync(display, False);
                std::printf("ok\n");
                std::fflush(stdout);
            }
        }
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == SelectionRequest) {
                std::printf("request\n");
                std::fflush(stdout);
            }
            if (event.type == SelectionRequest && !silent) {
                const XSelectionRequestEvent& request = event.xselectionrequest;
                XSelectionEvent reply{};
                reply.type = SelectionNotify;
                reply.requestor = request.requestor;
                reply.selection = request.selection;
                reply.target = request.target;
                reply.time = request.time;
                reply.property = request.property;
                if (request.target == targets) {
                    Atom offered[] = {targets, utf8, XA_STRING};
                    XChangeProperty(display, request.requestor, request.property, XA_ATOM, 32,
                                    PropModeReplace, reinterpret_cast<unsigned char*>(offered), 3);
                } else if (request.target == utf8 || request.target == XA_STRING) {
                    if (text.size() > kChunk) {
                        long size = static_cast<long>(text.size());
                        XSelectInput(display, request.requestor, PropertyChangeMask);
                        transfers[request.requestor] = {request.property, request.target};
                        XChangeProperty(display, request.requestor, request.property, incr, 32,
                                        PropModeReplace, reinterpret_cast<unsigned char*>(&size),
                                        1);
                    } else {
                        XChangeProperty(display, request.requestor, request.property,
                                        request.target, 8, PropModeReplace,
                                        reinterpret_cast<const unsigned char*>(text.data()),
                                        static_cast<int>(text.size()));
                    }
                } else {
                    reply.property = None;
                }
                XSendEvent(display, request.requestor, False, 0, reinterpret_cast<XEvent*>(&reply));
                XFlush(display);
            } else if (event.type == PropertyNotify && event.xproperty.state == PropertyDelete) {
                auto found = transfers.find(event.xproperty.window);
                if (found == transfers.end() || found->second.property != event.xproperty.atom) {
                    continue;
                }
                Transfer& transfer = found->second;
                std::size_t size = std::min(kChunk, text.size() - transfer.offset);
                XChangeProperty(
                    display, found->first, transfer.property, transfer.type, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(text.data() + transfer.offset),
                    static_cast<int>(size));
                transfer.offset += size;
                if (size == 0) {
                    transfers.erase(found);
                }
                XFlush(display);
            }
        }
    }
}
