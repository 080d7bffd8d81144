"""A headless Wayland session: weston on its X11 back-end inside Xvfb (real activation and
keyboard focus), with XWayland. Native GTK 3 (the fixture) and GTK 4 (gnome-text-editor)
clients run with GDK_BACKEND=wayland and no DISPLAY; the helper runs without DISPLAY, then
with DISPLAY on XWayland."""

import os
import re

import desktop
from desktop import CHANGED, DIAGNOSTICS, Helper, a11y, application, text_of, wait_until, walk

SOCKET = "wayland-glimwick"
NATIVE = {"GDK_BACKEND": "wayland", "WAYLAND_DISPLAY": SOCKET}
SKIPPED = "选区跳过:前台应用是主应用 frontPID="


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
    payload = helper.selected(mark, text)
    suite.check(payload is not None, "%s: %r reported exactly (%s)" % (
        helper.name, text, helper.payloads(CHANGED, mark)[-1:]))
    return payload


def fallback_at_caret(suite, helper, fixture_path):
    """A toolkit that gives a range no size: the fallback rectangle around the caret, where the
    pointer is unknown."""
    pyatspi = a11y()
    sizeless = Fixture(helper.session, fixture_path, "Wayland Sizeless", "--no-range-extents")
    assert wait_until(lambda: active(sizeless.app), 20, 0.1), "the second window never activated"
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


def start_weston(session):
    session.spawn(["weston", "--backend=x11-backend.so", "--use-pixman", "--socket=" + SOCKET,
                   "--xwayland", "--idle-time=0", "--width=1024", "--height=768"], "weston")
    log = os.path.join(session.work, "weston.log")
    socket = os.path.join(session.env["XDG_RUNTIME_DIR"], SOCKET)
    found = wait_until(lambda: os.path.exists(socket) and re.search(
        r"xserver listening on display (:\d+)", open(log).read()), 20)
    assert found, "weston did not start: " + open(log).read()[-2000:]
    return found.group(1)


def wayland(suite):
    session, helper_path, ctl, fixture_path = (suite.session, suite.helper_path, suite.ctl,
                                               suite.fixture_path)
    xwayland = start_weston(session)
    pyatspi = a11y()

    # A GTK 3 window active before the helper starts, the helper without DISPLAY.
    gtk3 = Fixture(session, fixture_path, "Wayland GTK3")
    assert wait_until(lambda: active(gtk3.app), 20, 0.1), "weston never activated GTK 3"
    pid = gtk3.app.get_process_id()
    suite.helper = helper = Helper(session, helper_path, ctl, name="helper-wayland",
                                   app_pid=pid, drop=("DISPLAY", "WAYLAND_DISPLAY"))
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

    fallback_at_caret(suite, helper, fixture_path)
    session.end(gtk3.process)

    # GTK 4: window coordinates are all it gives, and all a Wayland client has.
    with open(os.path.join(session.work, "gtk4.txt"), "w") as f:
        f.write("The quick brown fox jumps over the lazy dog.\nPack my box.\n")
    editor = session.spawn(["gnome-text-editor", "--standalone", "gtk4.txt"], "gtk4",
                           env=NATIVE, drop=("DISPLAY",), cwd=session.work)
    gtk4 = wait_until(lambda: of_process(editor.pid), 30, 0.2)
    assert gtk4 and wait_until(lambda: active(gtk4), 20, 0.1), "GTK 4 never became active"
    view = wait_until(lambda: next((o for o in walk(gtk4) if o.getRoleName() == "text" and
                                    "quick" in (text_of(o).getText(0, -1) if text_of(o) else "")),
                                   None), 30, 0.2)
    assert view, "the GTK 4 text never showed"
    keys = lambda *k: session.run(["xdotool", "key", "--delay", "30", *k])
    mark = len(helper.events())
    keys("ctrl+Home", *["shift+Right"] * 9)
    payload = selection(suite, helper, mark, "The quick")
    first = view.queryText().getCharacterExtents(0, pyatspi.WINDOW_COORDS)
    last = view.queryText().getCharacterExtents(8, pyatspi.WINDOW_COORDS)
    want = (first[0], first[1], last[0] + last[2] - first[0], max(first[3], last[3]))
    suite.check(payload is not None and rect_of(payload) == tuple(want),
                "GTK 4: the rectangle is in window coordinates: %s, %s" % (
                    payload and rect_of(payload), want))
    session.end(helper.process)
    session.end(helper.watch)

    # DISPLAY on XWayland, where X11 names no active window while a native one is.
    gtk4_pid = gtk4.get_process_id()
    suite.helper = helper = Helper(session, helper_path, ctl, name="helper-xwayland",
                                   app_pid=gtk4_pid, env={"DISPLAY": xwayland})
    keys("ctrl+End", "shift+Left", "shift+Left", "shift+Left", "shift+Left")
    suite.check(wait_until(lambda: diagnostic(helper, SKIPPED + str(gtk4_pid)), 10),
                "under XWayland the active native window is the front application")
    session.end(editor)
    # XWayland's own pointer stands still over native windows.
    helper.start(1)
    fallback_at_caret(suite, helper, fixture_path)

