"""Headless Wayland sessions: weston (its X11 back-end inside Xvfb, with XWayland) with native
GTK 3 (the fixture), GTK 4 (gnome-text-editor) and Qt (FeatherPad) clients with no DISPLAY, the
helper without DISPLAY, and on XWayland; sway (headless, on a virtual output) for what weston
cannot show: a terminal without accessibility read through the data-control protocol. The
benchmarks also run Mutter and KWin (bench/compositors.py)."""

import json
import os
import re
import shutil
import subprocess
import time

import desktop
from desktop import (CHANGED, DIAGNOSTICS, Helper, a11y, application, fits, text_of, wait_until,
                     walk)

SOCKET = "wayland-glimwick"
NATIVE = {"GDK_BACKEND": "wayland", "QT_QPA_PLATFORM": "wayland", "WAYLAND_DISPLAY": SOCKET}
SKIPPED = "选区跳过:前台应用是主应用 frontPID="
NO_DATA_CONTROL = "The compositor offers no data-control protocol"
NOBODY = 65534
# Native editors, each selecting "The quick" from the keyboard.
EDITORS = (("GTK 4", ["gnome-text-editor", "--standalone", "wayland.txt"]),
           ("Qt", ["featherpad", "wayland.txt"]))


def started(session, name, argv, env=None):
    session.spawn(argv, name, env=env)
    socket = os.path.join(session.env["XDG_RUNTIME_DIR"], SOCKET)
    assert wait_until(lambda: os.path.exists(socket), 30), "%s did not start: %s" % (
        name, session.read(name + ".log")[-2000:])


class Weston:
    """weston on its X11 back-end inside Xvfb: typed into through X11, with XWayland."""

    def __init__(self, session, build):
        self.session = session
        started(session, "weston", ["weston", "--backend=x11-backend.so", "--use-pixman",
                                    "--socket=" + SOCKET, "--xwayland", "--idle-time=0",
                                    "--width=1024", "--height=768"])
        found = wait_until(lambda: re.search(r"xserver listening on display (:\d+)",
                                             session.read("weston.log")), 20)
        assert found, "weston started no XWayland"
        self.xwayland = found.group(1)

    def keys(self, *chords):
        self.session.run(["xdotool", "key", "--delay", "30", *chords])


class Sway:
    """wlroots' tiling compositor, headless, clicked into through a virtual pointer. It refuses
    to run as root: it runs as nobody, with a runtime folder of its own."""
    xwayland = None

    def __init__(self, session, build):
        self.session = session
        os.chmod(session.work, 0o711)  # passable, not readable
        runtime = os.path.join(session.work, "sway")
        os.mkdir(runtime, 0o700)
        shutil.chown(runtime, NOBODY, NOBODY)
        config = os.path.join(runtime, "config")
        with open(config, "w") as f:
            f.write("xwayland disable\n")
        session.spawn(["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY,
                       "--clear-groups", "sway", "--config", config], "sway",
                      env={"WLR_BACKENDS": "headless", "WLR_HEADLESS_OUTPUTS": "1",
                           "WLR_LIBINPUT_NO_DEVICES": "1",
                           "WLR_RENDERER": "pixman", "XDG_RUNTIME_DIR": runtime,
                           "HOME": runtime})
        socket = os.path.join(runtime, "wayland-1")
        assert wait_until(lambda: os.path.exists(socket), 30), "sway did not start: %s" % (
            session.read("sway.log")[-2000:])
        os.symlink(socket, os.path.join(session.env["XDG_RUNTIME_DIR"], SOCKET))
        ipc = wait_until(lambda: [os.path.join(runtime, f) for f in os.listdir(runtime)
                                  if f.startswith("sway-ipc.")], 30)
        assert ipc, "sway opened no IPC socket"
        self.env = {"SWAYSOCK": ipc[0], "WAYLAND_DISPLAY": SOCKET}
        # Windows are active only while the seat has a keyboard: one that stays, doing nothing.
        session.spawn(["wtype", "-s", "86400000"], "sway-keyboard", env=NATIVE)
        # And clients get clicks only while it has a pointer, which sway's commands then drive.
        session.spawn([os.path.join(build, "glimwick_virtual_pointer")], "sway-pointer",
                      env=NATIVE)
        assert wait_until(lambda: "ready" in session.read("sway-pointer.log"), 10), \
            session.read("sway-pointer.log")

    def swaymsg(self, *args):
        return subprocess.run(["swaymsg", *args], env={**self.session.env, **self.env},
                              capture_output=True, timeout=30).stdout.decode()

    def focused(self):
        """The focused window's process and place, as sway says."""
        def find(node):
            if node.get("focused") and "pid" in node:
                return node
            children = node.get("nodes", []) + node.get("floating_nodes", [])
            return next((f for f in map(find, children) if f), None)
        return find(json.loads(self.swaymsg("-t", "get_tree", "-r")))

    def click(self, x, y, times):
        """Clicks through sway's own virtual pointer."""
        self.swaymsg("seat", "*", "cursor", "set", str(x), str(y))
        for _ in range(times):
            self.swaymsg("seat", "*", "cursor", "press", "button1")
            self.swaymsg("seat", "*", "cursor", "release", "button1")


COMPOSITORS = {"weston": Weston, "sway": Sway}


class Fixture(desktop.Fixture):
    """The GTK 3 fixture as a native Wayland client."""

    def __init__(self, session, path, title, *mode):
        super().__init__(session, [path, title, *mode], title, env=NATIVE, drop=("DISPLAY",))
        self.app = wait_until(lambda: of_process(self.process.pid), 30, 0.2)
        assert self.app, "%s never joined the accessibility bus" % title
        self.view = wait_until(lambda: next((o for o in walk(self.app) if o.name == "view"),
                                            None), 10, 0.1)


def of_process(pid):
    application("")  # brings libatspi's list of applications up to date
    return next((a for a in a11y().Registry.getDesktop(0)
                 if a is not None and a.get_process_id() == pid), None)


def active(app):
    pyatspi = a11y()
    return any(o.getRoleName() == "frame" and o.getState().contains(pyatspi.STATE_ACTIVE)
               for o in walk(app))


def diagnostic(helper, start):
    """The first diagnostic that starts so, or None."""
    return next((p["context"] for p in helper.payloads(DIAGNOSTICS)
                 if p.get("context", "").startswith(start)), None)


def rect_of(payload):
    return tuple(round(payload[k]) for k in ("x", "y", "w", "h"))


def selection(suite, helper, mark, text):
    """The selection, reported exactly, and not held back as the main app's: the window that
    shows it is in front from the moment it is activated."""
    payload = helper.selected(mark, text)
    held = [p["context"] for p in helper.payloads(DIAGNOSTICS, mark)
            if p.get("context", "").startswith(SKIPPED)]
    suite.check(payload is not None and not held, "%s: %r reported exactly (%s%s)" % (
        helper.name, text, helper.payloads(CHANGED, mark)[-1:], held))
    return payload


def shown(suite, app, what):
    """Waits for app's window to be active. Mutter activates a window only after input from
    the session's devices: a shift press, which selects nothing."""
    suite.compositor.keys("shift")
    assert wait_until(lambda: active(app), 20, 0.1), "%s never became active on %s" % (
        what, suite.compositor_name)


def fallback_at_caret(suite, helper):
    """A toolkit that gives a range no size: the fallback rectangle around the caret, where the
    pointer is unknown."""
    pyatspi = a11y()
    sizeless = Fixture(helper.session, suite.fixture_path, "Wayland Sizeless",
                       "--no-range-extents")
    shown(suite, sizeless.app, "the second window")
    mark = len(helper.events())
    sizeless.send("select view 48 57")
    payload = selection(suite, helper, mark, "brown fox")
    text = sizeless.view.queryText()
    x, y, _, h = text.getCharacterExtents(text.caretOffset, pyatspi.DESKTOP_COORDS)
    want = (round(x - 20), round(y + h / 2 - 10), 40, 20)
    suite.check(payload is not None and rect_of(payload) == want,
                "%s: without bounds the 40 x 20 rectangle is centred on the caret: %s, %s" % (
                    helper.name, payload and rect_of(payload), want))
    helper.session.end(sizeless.process)


def placed_late(suite, helper):
    """A toolkit that places a new selection a moment after announcing it (Firefox): with no
    pointer to stand in, the selection is reported once it has its place, not before."""
    late = Fixture(helper.session, suite.fixture_path, "Wayland Late", "--late-extents")
    shown(suite, late.app, "the late window")
    mark = len(helper.events())
    late.send("select view 42 57")
    payload = selection(suite, helper, mark, "quick brown fox")
    want = tuple(late.view.queryText().getRangeExtents(42, 57, a11y().DESKTOP_COORDS))
    suite.check(payload is not None and rect_of(payload) == want,
                "%s: a selection placed late is first reported in its place: %s, %s" % (
                    helper.name, payload and rect_of(payload), want))
    helper.session.end(late.process)


def keyboard_selection(suite, helper, name, argv):
    """A native editor: "The quick" selected from the keyboard, its rectangle where the
    editor's own window coordinates put those characters. Returns the editor's process."""
    pyatspi = a11y()
    session = suite.session
    editor = session.spawn(argv, name, env=NATIVE, drop=("DISPLAY",), cwd=session.work)
    app = wait_until(lambda: of_process(editor.pid), 30, 0.2)
    assert app, "%s never joined the accessibility bus" % name
    shown(suite, app, name)
    view = wait_until(lambda: next((o for o in walk(app) if o.getRoleName() == "text" and
                                    "quick" in (text_of(o).getText(0, -1) if text_of(o) else "")),
                                   None), 30, 0.2)
    assert view, "the %s text never showed" % name
    mark = len(helper.events())
    suite.compositor.keys("ctrl+Home", *["shift+Right"] * 9)
    payload = selection(suite, helper, mark, "The quick")
    boxes = [view.queryText().getCharacterExtents(i, pyatspi.WINDOW_COORDS) for i in range(9)]
    suite.check(payload is not None and fits(rect_of(payload), boxes),
                "%s on %s: the rectangle is in window coordinates: %s, characters %s" % (
                    name, suite.compositor_name, payload and rect_of(payload), boxes))
    return editor


def data_control(suite, helper):
    """A terminal that shows accessibility nothing (foot): its primary selection, read through
    sway's data-control, as a clipboard tool reads it back; its place the middle of its window;
    only what was set since it came to the front."""
    session, sway = suite.session, suite.compositor
    line = "The quick brown fox jumps over the lazy dog."
    foot = session.spawn(["foot", "--app-id=glimwick-foot", "sh", "-c",
                          "printf '%s\\n'; exec sleep 100000" % line], "foot", env=NATIVE,
                         drop=("DISPLAY",))
    # In front, and with its title bar, which sway adds a moment later.
    front = lambda: (sway.focused() or {}).get("pid") == foot.pid and sway.focused()
    assert wait_until(lambda: (front() or {}).get("deco_rect", {}).get("height"), 30, 0.1), \
        "foot never came to the front"

    def cell(column):
        rect, inner = front()["rect"], front()["window_rect"]
        return rect["x"] + inner["x"] + column * 7 + 3, rect["y"] + inner["y"] + 7

    paste = lambda: subprocess.run(["wl-paste", "--primary", "--no-newline"],
                                   env={**session.env, **NATIVE}, capture_output=True,
                                   timeout=30).stdout.decode()
    # foot's cells are 7 pixels wide in the suite's font.
    clicked = 0
    for times, column, word in ((3, 2, line), (2, 6, "quick")):
        # Clicks closer together than foot's multi-click time would count as more of them.
        wait_until(lambda: time.monotonic() - clicked > 0.6, 2, 0.05)
        mark = len(helper.events())
        sway.click(*cell(column), times)
        clicked = time.monotonic()
        pasted = wait_until(lambda: paste().strip() == word and paste(), 10, 0.1) or paste()
        got = helper.selected(mark, pasted) or {}
        rect = front()["rect"]
        middle = (rect["x"] + rect["width"] / 2 - 20, rect["y"] + rect["height"] / 2 - 10, 40, 20)
        suite.check(tuple(got.get(k) for k in "xywh") == middle,
                    "foot on sway, %d clicks: %r reported, at the window's middle: %s, %s" % (
                        times, pasted, got, middle))
    # Out to another terminal and back: what it held before is no selection made since.
    other = session.spawn(["foot", "--app-id=glimwick-other", "sleep", "100000"], "foot-other",
                          env=NATIVE, drop=("DISPLAY",))
    assert wait_until(lambda: (sway.focused() or {}).get("pid") == other.pid, 30, 0.1)
    session.end(other)
    assert wait_until(front, 10, 0.1), "foot never came back to the front"
    mark = len(helper.events())
    helper.start(1)  # a verification reads the selection after some ticks
    verified = wait_until(lambda: [d["context"] for d in helper.payloads(DIAGNOSTICS, mark)
                                   if d.get("context", "").startswith("🔍AX验证")], 10)
    suite.check(verified and verified[0].endswith("text=nil") and
                not helper.payloads(CHANGED, mark),
                "foot's selection from before it came back is not read: %s" % verified)
    session.end(foot)


def wayland(suite, compositor="weston"):
    session = suite.session
    with open(os.path.join(session.work, "wayland.txt"), "w") as f:
        f.write("The quick brown fox jumps over the lazy dog.\nPack my box.\n")
    suite.compositor_name = compositor
    suite.compositor = COMPOSITORS[compositor](session, os.path.dirname(suite.fixture_path))
    pyatspi = a11y()
    if compositor == "sway":
        # The helper as sway's session starts it: with sway's IPC.
        suite.helper = helper = Helper(session, suite.helper_path, suite.ctl,
                                       name="helper-wayland", drop=("DISPLAY",),
                                       env=suite.compositor.env)
        data_control(suite, helper)
        suite.check(NO_DATA_CONTROL not in helper.log(), "sway's data-control is found")
        return

    # A GTK 3 window active before the helper starts, the helper without DISPLAY.
    gtk3 = Fixture(session, suite.fixture_path, "Wayland GTK3")
    shown(suite, gtk3.app, "GTK 3")
    pid = gtk3.app.get_process_id()
    # The helper without DISPLAY, with what a session gives its clients.
    suite.helper = helper = Helper(session, suite.helper_path, suite.ctl, name="helper-wayland",
                                   app_pid=pid, drop=("DISPLAY",),
                                   env={"WAYLAND_DISPLAY": SOCKET})
    verified = wait_until(lambda: diagnostic(helper, "🔍AX验证"), 10)
    suite.check(verified and "前台=glimwick-fixture(pid=%d)" % pid in verified,
                "the verification names the window active before monitoring started: %s" %
                verified)

    mark = len(helper.events())
    gtk3.send("select view 42 47")
    suite.check(wait_until(lambda: diagnostic(helper, SKIPPED + str(pid)), 10) and
                not helper.payloads(CHANGED, mark),
                "the main app in front holds its selection back with the diagnostic")

    helper.start(1)
    mark = len(helper.events())
    gtk3.send("select view 42 57")
    payload = selection(suite, helper, mark, "quick brown fox")
    want = tuple(gtk3.view.queryText().getRangeExtents(42, 57, pyatspi.DESKTOP_COORDS))
    suite.check(payload is not None and rect_of(payload) == want,
                "GTK 3: the rectangle is the toolkit's, relative to the window: %s, %s" % (
                    payload and rect_of(payload), want))
    # The main app's window in front again: each window activated after it is in front at once,
    # even one that selects the moment it is.
    helper.start(pid)
    mark = len(helper.events())
    activated = Fixture(session, suite.fixture_path, "Wayland Activated", "--select-when-active")
    selection(suite, helper, mark, "jumps")
    session.end(activated.process)
    fallback_at_caret(suite, helper)
    placed_late(suite, helper)
    session.end(gtk3.process)

    notices = helper.log().count(NO_DATA_CONTROL)
    suite.check(notices == 1, "data-control missing on weston is told once: %d" % notices)

    editors = [keyboard_selection(suite, helper, name, argv) for name, argv in EDITORS]
    for editor in editors[:-1]:
        session.end(editor)
    if suite.compositor.xwayland:
        session.end(helper.process)
        session.end(helper.watch)
        xwayland(suite, editors[-1])


def xwayland(suite, editor):
    """DISPLAY on XWayland, where X11 names no active window while a native one is."""
    session = suite.session
    suite.helper = helper = Helper(session, suite.helper_path, suite.ctl, name="helper-xwayland",
                                   app_pid=editor.pid, env={"DISPLAY": suite.compositor.xwayland})
    suite.compositor.keys("ctrl+End", "shift+Left", "shift+Left", "shift+Left", "shift+Left")
    suite.check(wait_until(lambda: diagnostic(helper, SKIPPED + str(editor.pid)), 10),
                "under XWayland the active native window is the front application")
    session.end(editor)
    # XWayland's own pointer stands still over native windows.
    helper.start(1)
    fallback_at_caret(suite, helper)
