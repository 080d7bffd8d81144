#include "platform/linux/LinuxPlatform.h"

#include <X11/Xlib.h>
#include <gio/gio.h>

#include <malloc.h>

#include <csignal>
#include <cstdio>

#include "diagnostics/Diagnostics.h"
#include "platform/linux/AtspiAccessibility.h"
#include "platform/linux/DBusNotificationCenter.h"
#include "platform/linux/GLibMainQueue.h"
#include "platform/linux/LinuxProcessInfo.h"
#include "platform/linux/LinuxWorkspace.h"
#include "platform/linux/StdoutConsole.h"
#include "platform/linux/SwayFocus.h"
#include "platform/linux/WaylandPrimary.h"
#include "platform/linux/X11Desktop.h"
#include "platform/linux/X11Primary.h"

namespace glimwick::os {

struct LinuxPlatform::Parts {
    Parts(int argc, char** argv, GObjectPtr<GDBusConnection> connection)
        : process(argc, argv),
          center(std::move(connection)),
          workspace(x11, sway,
                    AccessibleDesk{[this] { return accessibility.activeApplication(); },
                                   [this] { return accessibility.focusPoint(); }}),
          x11Primary(x11),
          waylandPrimary(sway, !x11.available()),
          accessibility(
              center.connection(),
              [this](Pid pid, const std::string& title, Point size) {
                  return workspace.windowOrigin(pid, title, size);
              },
              x11.available() ? static_cast<PrimarySelection*>(&x11Primary) : &waylandPrimary),
          application(queue) {}

    GLibMainQueue queue;
    LinuxProcessInfo process;
    DBusNotificationCenter center;
    X11Desktop x11;  // the one X connection, borrowed by the workspace and X11's PRIMARY
    SwayFocus sway;
    LinuxWorkspace workspace;
    X11Primary x11Primary;
    WaylandPrimary waylandPrimary;  // where there is no X display
    AtspiAccessibility accessibility;
    StdoutConsole console;
    Application application;
};

void LinuxPlatform::configureProcess() {
    // A main app that closes our pipe must not kill us; the failed write is ignored instead.
    std::signal(SIGPIPE, SIG_IGN);
    // Any process may send us a large command. A fixed threshold keeps every large buffer in
    // its own mapping, handed back whole when freed; glibc's sliding one would otherwise move
    // them into heaps that keep the memory.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    // A window that vanished between two requests is not worth dying for.
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
}

std::unique_ptr<LinuxPlatform> LinuxPlatform::create(int argc, char** argv, std::string& error) {
    GError* rawError = nullptr;
    GObjectPtr<GDBusConnection> connection(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &rawError));
    if (!connection) {
        GErrorPtr owned(rawError);
        error = std::string("glimwick: cannot reach the D-Bus session bus: ") +
                (owned ? owned->message : "unknown error");
        return nullptr;
    }
    return std::unique_ptr<LinuxPlatform>(
        new LinuxPlatform(std::make_unique<Parts>(argc, argv, std::move(connection))));
}

LinuxPlatform::LinuxPlatform(std::unique_ptr<Parts> parts) : parts_(std::move(parts)) {
    parts_->accessibility.setNotice(
        [this](const std::string& text) { logMessage(platform(), LogLevel::warn, text); });
    parts_->accessibility.setPointerKnown([this] { return parts_->workspace.pointerKnown(); });
    parts_->waylandPrimary.setNotice(
        [this](const std::string& text) { logMessage(platform(), LogLevel::warn, text); });
}

LinuxPlatform::~LinuxPlatform() = default;

Platform LinuxPlatform::platform() {
    return Platform{parts_->queue,         parts_->center,  parts_->process,    parts_->workspace,
                    parts_->accessibility, parts_->console, parts_->application};
}

void LinuxPlatform::setBusClosedHandler(std::function<void()> handler) {
    parts_->center.setClosedHandler([handler = std::move(handler)] {
        std::fputs("glimwick: the D-Bus session bus connection was closed; exiting\n", stderr);
        handler();
    });
}

}  // namespace glimwick::os
