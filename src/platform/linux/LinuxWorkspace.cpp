#include "platform/linux/LinuxWorkspace.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <gio/gio.h>

#include <string_view>

#include "platform/linux/GObjectPtr.h"

namespace glimwick::os {

namespace {

constexpr std::string_view kSettingsScheme = "x-apple.systempreferences:";

// A window that vanished between two requests is not worth dying for.
int ignoreXError(Display*, XErrorEvent*) {
    return 0;
}

}  // namespace

struct LinuxWorkspace::X11 {
    struct Close {
        void operator()(Display* display) const { XCloseDisplay(display); }
    };
    std::unique_ptr<Display, Close> display;
    Window root = 0;
    Atom activeWindow = 0;
    Atom wmPid = 0;

    // One CARDINAL or WINDOW value of a property.
    std::optional<unsigned long> property(Window window, Atom name, Atom type) const {
        Atom actualType = 0;
        int format = 0;
        unsigned long count = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(display.get(), window, name, 0, 1, False, type, &actualType, &format,
                               &count, &after, &data) != Success) {
            return std::nullopt;
        }
        std::optional<unsigned long> value;
        if (data != nullptr && count == 1 && format == 32) {
            value = *reinterpret_cast<unsigned long*>(data);
        }
        if (data != nullptr) {
            XFree(data);
        }
        return value;
    }
};

LinuxWorkspace::LinuxWorkspace() {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        return;
    }
    XSetErrorHandler(&ignoreXError);
    x11_ = std::make_unique<X11>();
    x11_->display.reset(display);
    x11_->root = DefaultRootWindow(display);
    x11_->activeWindow = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
    x11_->wmPid = XInternAtom(display, "_NET_WM_PID", False);
}

LinuxWorkspace::~LinuxWorkspace() = default;

std::optional<RunningApplication> LinuxWorkspace::frontmostApplication() {
    if (!x11_) {
        return std::nullopt;
    }
    auto window = x11_->property(x11_->root, x11_->activeWindow, XA_WINDOW);
    if (!window || *window == 0) {
        return std::nullopt;
    }
    auto pid = x11_->property(*window, x11_->wmPid, XA_CARDINAL);
    if (!pid || *pid == 0 || *pid > static_cast<unsigned long>(INT32_MAX)) {
        return std::nullopt;
    }
    RunningApplication application{static_cast<Pid>(*pid), std::nullopt};
    XClassHint hint{};
    if (XGetClassHint(x11_->display.get(), *window, &hint) != 0) {
        if (hint.res_class != nullptr) {
            application.localizedName = hint.res_class;
        }
        XFree(hint.res_name);
        XFree(hint.res_class);
    }
    return application;
}

Point LinuxWorkspace::mouseLocation() {
    if (!x11_) {
        return {};
    }
    Window rootReturn = 0;
    Window child = 0;
    int x = 0;
    int y = 0;
    int windowX = 0;
    int windowY = 0;
    unsigned int mask = 0;
    if (!XQueryPointer(x11_->display.get(), x11_->root, &rootReturn, &child, &x, &y, &windowX,
                       &windowY, &mask)) {
        return {};
    }
    // The pointer's convention: origin at the bottom-left, y upward.
    int height = DisplayHeight(x11_->display.get(), DefaultScreen(x11_->display.get()));
    return {static_cast<double>(x), static_cast<double>(height - y)};
}

void LinuxWorkspace::openURL(const std::string& url) {
    if (!g_uri_is_valid(url.c_str(), G_URI_FLAGS_NONE, nullptr)) {
        return;
    }
    if (std::string_view(url).substr(0, kSettingsScheme.size()) == kSettingsScheme) {
        // The desktop's own accessibility settings, where it has them.
        GCharPtr panel(g_find_program_in_path("gnome-control-center"));
        if (panel) {
            const gchar* argv[] = {panel.get(), "universal-access", nullptr};
            g_spawn_async(nullptr, const_cast<gchar**>(argv), nullptr, G_SPAWN_DEFAULT, nullptr,
                          nullptr, nullptr, nullptr);
            return;
        }
    }
    // Launching is asynchronous and its failure is not ours to report.
    g_app_info_launch_default_for_uri_async(url.c_str(), nullptr, nullptr, nullptr, nullptr);
}

}  // namespace glimwick::os
