#include "platform/linux/LinuxWorkspace.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <gio/gio.h>

#include <cmath>
#include <string_view>
#include <vector>

#include "platform/linux/GObjectPtr.h"
#include "platform/linux/SwayFocus.h"
#include "platform/linux/X11Desktop.h"
#include "platform/linux/X11Property.h"

namespace glimwick::os {

namespace {

// How long a reading waits for sway to say where its front window is now.
constexpr int kSwayWaitMs = 100;

constexpr std::string_view kSettingsScheme = "x-apple.systempreferences:";

// Each desktop's accessibility settings: the one of the running desktop (XDG_CURRENT_DESKTOP)
// first, else the first installed.
struct SettingsPanel {
    const char* desktop;
    const char* program;
    const char* argument;  // null: none
};
constexpr SettingsPanel kSettingsPanels[] = {
    {"GNOME", "gnome-control-center", "universal-access"},
    {"KDE", "systemsettings", "kcm_access"},
    {"XFCE", "xfce4-accessibility-settings", nullptr},
    {"MATE", "mate-at-properties", nullptr},
};

bool openSettingsPanel() {
    const char* desktops = g_getenv("XDG_CURRENT_DESKTOP");
    GStrvPtr running(g_strsplit(desktops != nullptr ? desktops : "", ":", -1));
    auto isRunning = [&](const char* desktop) {
        return g_strv_contains(running.get(), desktop) != FALSE;
    };
    for (bool anyDesktop : {false, true}) {
        for (const SettingsPanel& panel : kSettingsPanels) {
            GCharPtr program(g_find_program_in_path(panel.program));
            if (!program || (!anyDesktop && !isRunning(panel.desktop))) {
                continue;
            }
            const gchar* argv[] = {program.get(), panel.argument, nullptr};
            // Reaped by GLib; whether the panel then shows is not ours to report.
            if (g_spawn_async(nullptr, const_cast<gchar**>(argv), nullptr, G_SPAWN_DEFAULT, nullptr,
                              nullptr, nullptr, nullptr) != FALSE) {
                return true;
            }
        }
    }
    return false;
}

// XWayland announces itself by an extension from version 23 on, and by its outputs' names.
bool isXWayland(Display* display, Window root) {
    int opcode = 0;
    int event = 0;
    int error = 0;
    if (XQueryExtension(display, "XWAYLAND", &opcode, &event, &error) != 0) {
        return true;
    }
    if (XQueryExtension(display, "RANDR", &opcode, &event, &error) == 0) {
        return false;
    }
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, root);
    if (resources == nullptr) {
        return false;
    }
    bool xwayland = false;
    for (int i = 0; i < resources->noutput && !xwayland; ++i) {
        XRROutputInfo* output = XRRGetOutputInfo(display, resources, resources->outputs[i]);
        if (output != nullptr) {
            xwayland = std::string_view(output->name, output->nameLen).starts_with("XWAYLAND");
            XRRFreeOutputInfo(output);
        }
    }
    XRRFreeScreenResources(resources);
    return xwayland;
}

// Replies read on the way may have queued events of the desktop's other borrowers.
struct DrainAfter {
    X11Desktop& desktop;
    ~DrainAfter() { desktop.drainSoon(); }
};

}  // namespace

struct LinuxWorkspace::X11 {
    explicit X11(X11Desktop& desktop)
        : desktop(desktop), display(desktop.display()), root(desktop.root()) {}
    X11Desktop& desktop;
    Display* display;  // the desktop's
    Window root;
    Atom clientList = 0;
    Atom wmName = 0;
    Atom utf8String = 0;
    Atom frameExtents = 0;
    bool xwayland = false;

    struct Windows {
        int count = 0;
        std::optional<Window> titled;
        std::optional<Window> last;
    };
    std::optional<Windows> windowsOf(Pid pid, const std::string& title) const;
    std::optional<Point> contentOrigin(Window window, Point size) const;
};

LinuxWorkspace::LinuxWorkspace(X11Desktop& desktop, SwayFocus& sway, AccessibleDesk desk)
    : sway_(sway), desk_(std::move(desk)) {
    Display* display = desktop.display();
    if (display == nullptr) {
        return;
    }
    x11_ = std::make_unique<X11>(desktop);
    x11_->clientList = XInternAtom(display, "_NET_CLIENT_LIST", False);
    x11_->wmName = XInternAtom(display, "_NET_WM_NAME", False);
    x11_->utf8String = XInternAtom(display, "UTF8_STRING", False);
    x11_->frameExtents = XInternAtom(display, "_GTK_FRAME_EXTENTS", False);
    x11_->xwayland = isXWayland(display, x11_->root);
}

LinuxWorkspace::~LinuxWorkspace() = default;

std::optional<RunningApplication> LinuxWorkspace::frontmostApplication() {
    if (auto active = x11_ ? x11_->desktop.active() : std::nullopt; active && active->pid > 0) {
        return RunningApplication{active->pid, active->resourceClass};
    }
    if (auto focused = sway_.focused(); focused && focused->pid > 0) {
        return RunningApplication{focused->pid, focused->appId};
    }
    return desk_.activeApplication ? desk_.activeApplication() : std::nullopt;
}

bool LinuxWorkspace::pointerKnown() const {
    // XWayland's pointer stands still over native Wayland windows, where X11 knows no active
    // window.
    return x11_ && (!x11_->xwayland || x11_->desktop.active());
}

Point LinuxWorkspace::mouseLocation() {
    if (pointerKnown()) {
        DrainAfter drain{x11_->desktop};
        Window rootReturn = 0;
        Window child = 0;
        int x = 0;
        int y = 0;
        int windowX = 0;
        int windowY = 0;
        unsigned int mask = 0;
        if (XQueryPointer(x11_->display, x11_->root, &rootReturn, &child, &x, &y, &windowX,
                          &windowY, &mask)) {
            return {static_cast<double>(x), static_cast<double>(y)};
        }
    }
    // Wayland tells no client where the pointer is. Where accessibility's focus is not the
    // front application's (one that shows it nothing), the middle of the front window.
    sway_.refresh(kSwayWaitMs);
    if (auto focused = sway_.focused(); focused && focused->pid > 0) {
        auto shown = desk_.activeApplication ? desk_.activeApplication() : std::nullopt;
        if (!shown || shown->processIdentifier != focused->pid) {
            return {focused->rect.x + focused->rect.width / 2,
                    focused->rect.y + focused->rect.height / 2};
        }
    }
    auto standIn = desk_.pointerStandIn ? desk_.pointerStandIn() : std::nullopt;
    return standIn.value_or(Point{});
}

// pid's top-level windows among the window manager's clients: how many, the one titled
// title, and the last one; nullopt when the list cannot be read.
std::optional<LinuxWorkspace::X11::Windows> LinuxWorkspace::X11::windowsOf(
    Pid pid, const std::string& title) const {
    auto windows = propertyLongs(display, root, clientList, XA_WINDOW, 4096);
    if (!windows) {
        return std::nullopt;
    }
    Windows found;
    for (Window window : *windows) {
        if (windowProcess(display, window) != pid) {
            continue;
        }
        ++found.count;
        found.last = window;
        auto name = propertyBytes(display, window, wmName, utf8String);
        if (!name) {
            name = propertyBytes(display, window, XA_WM_NAME, XA_STRING);
        }
        if (name && *name == title) {
            found.titled = window;
        }
    }
    return found;
}

// Where window's content starts on screen. Client-side decorations keep a margin (shadow,
// resize border) around the content: the toolkit names it, or else it lies evenly around the
// content's own size.
std::optional<Point> LinuxWorkspace::X11::contentOrigin(Window window, Point size) const {
    int x = 0;
    int y = 0;
    Window child = 0;
    if (!XTranslateCoordinates(display, window, root, 0, 0, &x, &y, &child)) {
        return std::nullopt;
    }
    Point origin{static_cast<double>(x), static_cast<double>(y)};
    if (auto margins = propertyLongs(display, window, frameExtents, XA_CARDINAL, 4);
        margins && margins->size() == 4) {
        return Point{origin.x + static_cast<double>((*margins)[0]),
                     origin.y + static_cast<double>((*margins)[2])};
    }
    Window ignoredRoot = 0;
    int ignored = 0;
    unsigned int width = 0;
    unsigned int height = 0;
    unsigned int border = 0;
    unsigned int depth = 0;
    if (XGetGeometry(display, window, &ignoredRoot, &ignored, &ignored, &width, &height, &border,
                     &depth) != 0 &&
        size.x > 0 && size.y > 0 && size.x <= width && size.y <= height) {
        origin.x += std::floor((width - size.x) / 2);
        origin.y += std::floor((height - size.y) / 2);
    }
    return origin;
}

std::optional<Point> LinuxWorkspace::windowOrigin(Pid pid, const std::string& title, Point size) {
    if (pid <= 0) {
        return std::nullopt;
    }
    // A Wayland client's coordinates are its window's: nobody knows where that lies.
    if (!x11_) {
        return Point{};
    }
    DrainAfter drain{x11_->desktop};
    // Under XWayland, a process without X11 windows is a Wayland client.
    std::optional<Point> native = x11_->xwayland ? std::optional(Point{}) : std::nullopt;
    auto windows = x11_->windowsOf(pid, title);
    if (!windows || windows->count == 0) {
        return native;
    }
    std::optional<Window> window =
        windows->titled ? windows->titled : (windows->count == 1 ? windows->last : std::nullopt);
    return window ? x11_->contentOrigin(*window, size) : std::nullopt;
}

void LinuxWorkspace::openURL(const std::string& url) {
    if (!g_uri_is_valid(url.c_str(), G_URI_FLAGS_NONE, nullptr)) {
        return;
    }
    if (std::string_view(url).substr(0, kSettingsScheme.size()) == kSettingsScheme &&
        openSettingsPanel()) {
        return;
    }
    // Launching is asynchronous and its failure is not ours to report.
    g_app_info_launch_default_for_uri_async(url.c_str(), nullptr, nullptr, nullptr, nullptr);
}

}  // namespace glimwick::os
