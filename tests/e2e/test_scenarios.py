"""The real helper on a private session, played against by a main app. One test per scenario
(pytest -k NAME runs one):

  bus        a session bus only: the channel, the commands, glimwick-ctl
  hostile    a session bus only: bad bodies, bad JSON, huge and deep objects, a flood
  selection  a desktop (Xvfb, buses, openbox) with GTK fixture windows
  faults     the same desktop misbehaving: applications killed and stopped, AT-SPI gone
  primary    the same desktop, applications without accessibility (primary.py)
  weston     Wayland instead of openbox: weston and XWayland inside Xvfb (wayland.py)
  sway       sway (wlroots), headless: a terminal read through data-control (wayland.py)
  deadline   the desktop, applications that make a reading slow, pinged while read
  soak       the desktop, short-lived applications in turn (soak.py)

The main app's view is glimwick-ctl watch; raw commands go out through GIO, so that bodies of
any type can be sent. Every process started is ended by its process group.
"""

import os
import re
import signal
import subprocess
import sys
import time

import pytest

import desktop
from desktop import CHANGED, DIAGNOSTICS, PONG, STATUS, Fixture, Helper, wait_until
from primary import primary  # noqa: F401
import soak as soaking
import wayland

COMMANDS = ["startMonitoring", "stopMonitoring", "checkPermission", "requestPermission", "ping",
            "shutdownIfMismatch", "shutdownRedundant"]
EXITED = "[Glimwick] 辅助进程已退出"
BAD_MISMATCH = "⚠️ 收到 shutdownIfMismatch 但参数无效"
BAD_REDUNDANT = "⚠️ 收到 shutdownRedundant 但参数无效"
VIEW = ("Glimwick watches the text you select.\n"
        "The quick brown fox jumps over the lazy dog.\n"
        "选区文本 and emoji 👍🏽 live here too.\n"
        "Last line of the view.")
SANITIZED = os.environ.get("GLIMWICK_SANITIZE") == "1"
# Owns the accessibility bus's name on the session bus and says accessibility is on, but
# never tells where the bus is (a hung launcher).
SQUATTER = """
from gi.repository import Gio, GLib
XML = ('<node><interface name="org.a11y.Bus"><method name="GetAddress">'
       '<arg type="s" direction="out"/></method></interface><interface name="org.a11y.Status">'
       '<property name="IsEnabled" type="b" access="read"/></interface></node>')
held = []
bus = Gio.bus_get_sync(Gio.BusType.SESSION)
for interface in Gio.DBusNodeInfo.new_for_xml(XML).interfaces:
    bus.register_object("/org/a11y/bus", interface, lambda *call: held.append(call[-1]),
                        lambda *_: GLib.Variant("b", True), None)
reply = bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                      "RequestName", GLib.Variant("(su)", ("org.a11y.Bus", 4)), None, 0, -1, None)
print("owned" if reply.unpack()[0] == 1 else "taken", flush=True)
GLib.MainLoop().run()
"""


class Suite(desktop.Checks):
    def setup(self, helper_path, ctl, fixture_path):
        self.helper_path, self.ctl, self.fixture_path = helper_path, ctl, fixture_path
        self.directory = os.path.dirname(os.path.realpath(helper_path))
        self.helper, self.bus, self.pings, self.count = None, None, 0, 0

    def start_helper(self, app_pid=None):
        from gi.repository import Gio
        self.count += 1
        self.helper = Helper(self.session, self.helper_path, self.ctl, "helper%d" % self.count,
                             app_pid)
        if self.bus is None:
            self.bus = Gio.DBusConnection.new_for_address_sync(
                self.session.env["DBUS_SESSION_BUS_ADDRESS"],
                Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT |
                Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
        self.pings = 0
        return self.helper

    def emit(self, command, body=None, flush=True):
        """A command with body: None, a text (one string), or any GLib.Variant tuple."""
        from gi.repository import GLib
        if isinstance(body, str):
            body = GLib.Variant("(s)", (body,))
        self.pings += command == "ping"
        self.bus.emit_signal(None, "/", "com.corvala.helper", command, body)
        if flush:
            self.bus.flush_sync(None)

    def events(self, name=None, mark=0):
        return self.helper.payloads(name, mark)

    def diagnostics(self):
        return [p.get("context") for p in self.events(DIAGNOSTICS)
                if isinstance(p, dict) and p.get("pid") == self.helper.process.pid]

    def times(self, context):
        return self.diagnostics().count(context)

    def wait_events(self, name, count, timeout=10):
        return wait_until(lambda: len(self.events(name)) >= count, timeout, 0.02)

    def round_trip(self, timeout=10):
        """A ping, answered after everything posted before it has been handled."""
        pongs = lambda: len([p for p in self.events(PONG)
                             if p.get("pid") == self.helper.process.pid])
        least = pongs() + 1  # glimwick-ctl's pings are answered too
        self.emit("ping")
        return wait_until(lambda: pongs() >= max(least, self.pings), timeout, 0.02)

    def ctl_run(self, *args):
        done = subprocess.run([self.ctl, *args], env=self.session.env, capture_output=True,
                              timeout=60)
        return done.returncode, done.stdout.decode()

    def exit_status(self, timeout=10):
        try:
            return self.helper.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def resident_kib(self):
        with open("/proc/%d/status" % self.helper.process.pid) as status:
            return int(re.search(r"VmRSS:\s+(\d+)", status.read()).group(1))

    def slowest_ping(self, seconds):
        """Pings every 0.1 s for a while, each answer awaited on the bus itself (the watch's
        log lags behind large selections); the slowest, or None when one was lost."""
        from gi.repository import Gio, GLib
        heard = []
        subscription = self.bus.signal_subscribe(
            None, PONG.rsplit(".", 1)[0], PONG.rsplit(".", 1)[1], None, None,
            Gio.DBusSignalFlags.NONE, lambda *_: heard.append(time.monotonic()))
        context, slowest, until = GLib.MainContext.default(), 0.0, time.monotonic() + seconds
        try:
            while time.monotonic() < until:
                heard.clear()
                sent = time.monotonic()
                self.emit("ping")
                while not heard and time.monotonic() < sent + 10:
                    if not context.iteration(False):
                        time.sleep(0.002)
                if not heard:
                    return None
                slowest = max(slowest, heard[0] - sent)
                time.sleep(0.1)
        finally:
            self.bus.signal_unsubscribe(subscription)
        return slowest

    def status_now(self):
        before = len(self.events(STATUS))
        self.emit("checkPermission")
        assert self.wait_events(STATUS, before + 1), "no permission status"
        return self.events(STATUS)[-1]

    def window(self, title, *options, env=None):
        return Fixture(self.session, [self.fixture_path, title, *options], title, env=env)

    def bound_to(self, pid, timeout=15):
        """Waits until the helper's last binding is to pid; whether it subscribed."""
        last = lambda: (re.findall(r"Observer bound to pid=(\d+), subscribed=(\d+/\d+)",
                                   self.helper.log()) or [("", "")])[-1]
        return wait_until(lambda: last()[0] == str(pid), timeout, 0.05) and last()[1] == "1/1"

    def follow(self, xid, pid):
        """Makes the window active and waits until the helper is bound to its process."""
        desktop.activate(self.session, xid)
        assert self.bound_to(pid), "the helper never bound to pid %d" % pid

    def activate(self, fixture):
        desktop.activate(self.session, fixture.xid)

    def x(self, *args):
        return self.session.run(["xdotool", *map(str, args)]).decode()


def bus(suite):
    # Stand-ins for two desktops' settings panels, saying how they were started.
    panels = os.path.join(suite.session.work, "panels")
    os.makedirs(panels)
    for program in ("gnome-control-center", "systemsettings"):
        with open(os.path.join(panels, program), "w") as script:
            script.write('#!/bin/sh\necho "${0##*/} $*" >> %s/opened\n' % panels)
        os.chmod(script.name, 0o755)
    suite.session.env.update(PATH=panels + ":" + os.environ["PATH"], XDG_CURRENT_DESKTOP="KDE")
    # An accessibility bus whose owner says accessibility is on but never says where the bus is
    # (a hung launcher): the helper's loop is held up at most a call's time-out at a time while
    # it tries to connect, again every few seconds (libatspi alone would wait 25 s). First, as
    # nothing has started the real launcher yet.
    squatter = suite.session.spawn([sys.executable, "-c", SQUATTER], "squatter")
    assert wait_until(lambda: "owned" in suite.session.read("squatter.log"), 10), "no squatter"
    suite.start_helper(1)
    slowest = suite.slowest_ping(6)
    suite.check(slowest is not None and slowest <= 1.0,
                "a hung accessibility bus holds the helper's loop up at most a turn's budget:"
                " slowest ping %s s" % slowest)
    suite.session.end(suite.helper.process)
    suite.session.end(squatter)

    helper = suite.start_helper()
    lines = helper.log().splitlines()
    suite.check(lines[:2] == ["[Glimwick] =============================", "[Glimwick] 辅助进程已启动"]
                and lines[2].startswith("[Glimwick] macOS Linux ") and lines[3] == lines[0],
                "the start banner: %s" % lines[:4])
    # The watch hears the start diagnostic a moment after the helper logs it.
    assert suite.wait_events(DIAGNOSTICS, 1), "no start diagnostic"
    start = suite.events(DIAGNOSTICS)[0]
    suite.check(start == {"context": "启动", "pid": helper.process.pid, "ppid": os.getpid(),
                          "execPath": suite.helper_path, "bundlePath": suite.directory,
                          "bundleID": start.get("bundleID"),
                          "macOS": lines[2][len("[Glimwick] macOS "):]}
                and isinstance(start["bundleID"], str),
                "the watch's first event is the start diagnostic, seven keys: %s" % start)

    # Access: the unasked status half a second after launch, then one per check.
    denied = {"granted": False, "axTrusted": False, "axDirect": False, "axErrorCode": -25211,
              "bundlePath": suite.directory, "execPath": suite.helper_path,
              "pid": helper.process.pid}
    suite.check(suite.wait_events(STATUS, 1) and suite.status_now() == denied and
                len(suite.events(STATUS)) == 2,
                "without an accessibility bus access is disabled: %s" % suite.events(STATUS))

    # glimwick-ctl: commands wait for their answers; a bad name is refused.
    status, out = suite.ctl_run("check-permission", "--wait", "10")
    suite.check(status == 0 and STATUS in out, "ctl check-permission: %d %s" % (status, out))
    status, out = suite.ctl_run("start", "--app-pid", "12", "--wait", "10")
    suite.check(status != 0 and "startMonitoring失败" in out, "ctl start refused: %d" % status)
    status, out = suite.ctl_run("ping", "--wait", "20")
    suite.check(status == 0 and '"%s"' % PONG in out, "ctl ping: %d %s" % (status, out))
    status, _ = suite.ctl_run("send", "nodots")
    suite.check(status == 1, "ctl send refuses a name without dots: %d" % status)

    # Another path: gone within a second, status 0.
    asked = time.monotonic()
    suite.emit("shutdownIfMismatch", '{"expectedBundlePath": "/opt/Other"}')
    status = suite.exit_status()
    suite.check(status == 0 and time.monotonic() - asked < 1 and EXITED in helper.log() and
                suite.times("🛑 检测到旧 Helper，准备自行退出: %s -> /opt/Other"
                            % suite.directory) == 1, "a mismatch exits within a second, 0")
    helper = suite.start_helper()
    status, _ = suite.ctl_run("shutdown-redundant", suite.directory, "1", "--wait", "10")
    suite.check(status == 0 and suite.exit_status() == 0, "ctl shutdown-redundant ends a copy")

    # Access asked for: accessibility on, for good (GNOME's setting behind the bus's own), the
    # running desktop's settings opened, and trusted from then on.
    helper = suite.start_helper()
    suite.emit("requestPermission")
    opened = os.path.join(panels, "opened")
    suite.check(wait_until(lambda: suite.status_now()["axTrusted"], 10) and
                wait_until(lambda: os.path.exists(opened), 10) and
                open(opened).read() == "systemsettings kcm_access\n" and
                suite.session.run(["gsettings", "get", "org.gnome.desktop.interface",
                                   "toolkit-accessibility"]) == b"true\n",
                "requestPermission turns accessibility on for good, opens KDE's panel on KDE")

    # The session bus going away ends the helper: status 1, one line why.
    suite.session.end(suite.session.named["bus"])
    suite.check(suite.exit_status() == 1 and "session bus connection was closed" in helper.log()
                and EXITED in helper.log(), "a lost session bus ends the helper with 1")
    gone = subprocess.run([suite.helper_path], capture_output=True, timeout=30, env={
        **suite.session.env, "DISPLAY": "",
        "DBUS_SESSION_BUS_ADDRESS": "unix:path=/nonexistent/glimwick-bus"})
    err = gone.stderr.decode()
    suite.check(gone.returncode == 1 and not gone.stdout and err.count("\n") == 1 and
                err.startswith("glimwick: cannot reach the D-Bus session bus: "),
                "no session bus at all: status 1 and one line: %d %r" % (gone.returncode, err))


def hostile(suite):
    from gi.repository import GLib
    helper = suite.start_helper()
    assert suite.wait_events(STATUS, 1), "no start-up status"
    baseline = suite.resident_kib()

    # 10,000 mixed commands as fast as the bus takes them: all handled, in order.
    mix = [("ping", None), ("checkPermission", None), ("startMonitoring", '{"appPID": 4}'),
           ("stopMonitoring", None), ("shutdownIfMismatch", "[]"),
           ("shutdownRedundant", '{"expectedBundlePath": "/elsewhere", "keepPID": 1}'),
           ("ping", "garbage"), ("shutdownRedundant", "{")]
    statuses, mismatch, redundant = (len(suite.events(STATUS)), suite.times(BAD_MISMATCH),
                                     suite.times(BAD_REDUNDANT))
    rounds = 10000 // len(mix)
    for _ in range(rounds):
        for command, body in mix:
            suite.emit(command, body, flush=False)
    suite.bus.flush_sync(None)
    suite.check(suite.round_trip(120) and
                suite.wait_events(STATUS, statuses + 2 * rounds, 60) and
                suite.times(BAD_MISMATCH) == mismatch + rounds and
                suite.times(BAD_REDUNDANT) == redundant + rounds and
                "✅监听已启动 mainAppPID=4 helperPID=%d" % helper.process.pid
                not in suite.diagnostics(),
                "10,000 mixed commands: every ping, status and refusal, none lost")
    if not SANITIZED:  # AddressSanitizer keeps freed memory; its leak check at exit stands in
        grown = suite.resident_kib() - baseline
        suite.check(grown < 16 * 1024, "the memory is given back: %d KiB more" % grown)

    # Bodies that are not one string count as no object: each shutdown command invalid.
    # (requestPermission starts the accessibility bus, so this comes after the flood.)
    pongs, mismatch, redundant = (len(suite.events(PONG)), suite.times(BAD_MISMATCH),
                                  suite.times(BAD_REDUNDANT))
    for command in COMMANDS:
        for body in (GLib.Variant("(i)", (7,)), GLib.Variant("(ss)", ("{}", "{}")),
                     GLib.Variant("(as)", ([],)), "", None):
            suite.emit(command, body, flush=False)
    suite.check(suite.round_trip() and suite.times(BAD_MISMATCH) == mismatch + 5 and
                suite.times(BAD_REDUNDANT) == redundant + 5 and
                len(suite.events(PONG)) == pongs + 6,
                "odd bodies: no object, five invalid each, five pings answered")

    # Huge and deep objects, the command that ends this copy last: a 10 MB path is a mismatch.
    huge = '{"expectedBundlePath": "%s"}' % ("x" * (10 << 20))
    deep = "[" * 100000 + "]" * 100000
    mismatch, redundant = suite.times(BAD_MISMATCH), suite.times(BAD_REDUNDANT)
    for command in [c for c in COMMANDS if c != "shutdownIfMismatch"] + ["shutdownIfMismatch"]:
        for text in (huge, deep, '{"appPID": %s, "expectedBundlePath": %s}' % (deep, deep)):
            suite.emit(command, text)
        if command != "shutdownIfMismatch":
            suite.round_trip()
    suite.check(suite.times(BAD_REDUNDANT) == redundant + 3 and
                wait_until(lambda: suite.times(BAD_MISMATCH) == mismatch + 2, 30) and
                suite.exit_status() == 0,
                "huge and deep objects: invalid, or a mismatch that exits cleanly (no leak)")


def host_pid(program, title):
    """The host's number for the process running program with title (its first argument)."""
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as cmdline:
                argv = cmdline.read().split(b"\0")
        except (OSError, ValueError):
            continue
        if argv[:2] == [program.encode(), title.encode()]:
            return int(entry)
    return None


def selection(suite):
    session = suite.session
    view = suite.window("Glimwick Fixture A")
    suite.activate(view)
    helper = suite.start_helper()
    suite.emit("checkPermission")
    granted = wait_until(lambda: [s for s in suite.events(STATUS) if s["axErrorCode"] == 0], 15)
    suite.check(granted and granted[0]["granted"] and granted[0]["axTrusted"],
                "access is granted on this stack: %s" % granted)
    helper.start(1)
    assert suite.bound_to(view.process.pid), helper.log()

    # The seven command signals, and the accessibility bus's name changes: nothing else.
    from gi.repository import GLib
    call = lambda method, arg: suite.bus.call_sync(
        "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method, arg,
        None, 0, 5000, None).unpack()
    name = next(n for n in call("ListNames", None)[0] if n.startswith(":") and call(
        "GetConnectionUnixProcessID", GLib.Variant("(s)", (n,)))[0] == helper.process.pid)
    rules = re.findall(r"sender=%s -> destination=org.freedesktop.DBus [^\n]*member=AddMatch\n"
                       r"\s*string \"([^\"]*)\"" % re.escape(name), session.read("monitor.log"))
    suite.check([r for r in rules if "com.corvala" in r] == [
        "type='signal',interface='com.corvala.helper',member='%s'" % c for c in COMMANDS] and
        all("arg0='org.a11y.Bus'" in r for r in rules if "com.corvala" not in r),
        "the helper asks the bus for the seven commands only: %s" % rules)

    # Non-ASCII text whole (the compatibility suite checks texts and rectangles).
    mark = len(suite.events())
    view.send("select view 83 100")
    suite.check(suite.helper.selected(mark, VIEW[83:100]), "emoji with skin tone, whole")

    # The whole text only in selectionChanged; elsewhere a 30-character prefix.
    line = VIEW[38:82]
    view.send("select view 38 82")
    suite.helper.selected(mark, line)
    suite.round_trip()
    suite.check(line not in helper.log() and "Selection validated: %s... at (" % line[:30]
                in helper.log() and session.read("monitor.log").count(line) == 1 and
                not [d for d in suite.diagnostics() if line in d],
                "the selected line travels whole only in its selectionChanged")

    # The address bar and an entry in a plain box are excluded; a password is never read.
    ignored = "[SelectionObserver][DEBUG] Ignored: element in exclusion list (address bar, " \
              "search box, etc.)"
    mark = len(suite.events())
    for count, (widget, start, end) in enumerate((("toolbar-entry", 8, 15), ("box-entry", 3, 8),
                                                  ("password-entry", 0, 12))):
        view.send("focus " + widget)
        view.send("select %s %d %d" % (widget, start, end))
        if count < 2:
            suite.check(wait_until(lambda: helper.log().count(ignored) == count + 1, 10),
                        "%s is excluded" % widget)
    time.sleep(2)  # several ticks and any notification pass with the password selected
    suite.round_trip()
    suite.check(helper.log().count(ignored) == 2 and not suite.events(CHANGED, mark) and
                "hunter2" not in helper.log() and
                "hunter2" not in session.read("monitor.log"),
                "nothing from the entries; the password on no line and no bus")

    # Another application: a clear, a rebind, its selection.
    other = suite.window("Glimwick Fixture B")
    suite.activate(other)
    mark = len(suite.events())
    suite.check(suite.bound_to(other.process.pid) and wait_until(
        lambda: "Selection cleared: focus_pid_changed" in helper.log(), 10),
        "moving to another application rebinds and clears")
    other.send("select view 4 12")
    suite.check(suite.helper.selected(mark, VIEW[4:12]), "the other application's selection")

    # Two applications in process namespaces of their own, each pid 2 there and declaring so,
    # each reaching the accessibility bus through a proxy of its own, as sandboxes run them:
    # known by their pids on the host, so moving between them clears and rebinds, and read
    # through accessibility (their own bounds, not PRIMARY's place at the pointer).
    address = suite.bus.call_sync("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress",
                                  None, None, 0, 5000, None).unpack()[0]

    def sandboxed(title):
        socket = os.path.join(session.work, title.replace(" ", "-"))
        session.spawn(["xdg-dbus-proxy", address, socket], title + " proxy")
        assert wait_until(lambda: os.path.exists(socket), 10, 0.05), "no proxy for " + title
        window = Fixture(session, ["bwrap", "--dev-bind", "/", "/", "--unshare-pid",
                                   "--die-with-parent", "--setenv", "AT_SPI_BUS_ADDRESS",
                                   "unix:path=" + socket, suite.fixture_path, title], title)
        window.host = wait_until(lambda: host_pid(suite.fixture_path, title), 10, 0.05)
        return window

    cleared = lambda: helper.log().count("Selection cleared: focus_pid_changed")
    for title, (start, end) in (("Sandbox A", (4, 12)), ("Sandbox B", (13, 19))):
        before = cleared()
        box = sandboxed(title)
        suite.activate(box)
        mark = len(suite.events())
        suite.check(suite.bound_to(box.host) and wait_until(lambda: cleared() > before, 10),
                    "a sandboxed application in front: a clear and a rebind to its host pid")
        box.send("select view %d %d" % (start, end))
        got = suite.helper.selected(mark, VIEW[start:end]) or {}
        suite.check((got.get("w", 40), got.get("h", 20)) != (40, 20),
                    "and its selection, by accessibility (not PRIMARY's box at the pointer): %s"
                    % got)
    # Accessibility knows it by the proxy's process; the helper by the one behind the proxy.
    verifications = lambda: [d for d in suite.diagnostics() if "AX验证" in d]
    seen = len(verifications())
    helper.start(1)
    verified = wait_until(lambda: verifications()[seen:], 10)
    suite.check(verified and "(pid=%d) | NSWorkspace" % box.host in verified[0],
                "accessibility's application is the one behind its proxy: %s" % verified)

    # Focused while still registering: subscribed to by its process all the same.
    late = suite.window("Glimwick Fixture Late", "--late-accessibility",
                        env={"NO_AT_BRIDGE": "1"})
    suite.activate(late)
    suite.check(suite.bound_to(late.process.pid), "bound before it registered")
    mark = len(suite.events())
    late.send("register")
    late.send("select view 42 61")
    suite.check(suite.helper.selected(mark, "quick brown fox jum"), "read once registered")

    # Only caret moves announced (KDE's editor), or only selection changes: either discards
    # what was read last, read again on the next tick, not once that runs out (2 s after it
    # was read, just before).
    for announced in ("caret", "selection"):
        window = suite.window("Glimwick Fixture " + announced, "--%s-only" % announced)
        suite.follow(window.xid, window.process.pid)
        latencies = []
        for start, end in ((4, 12), (42, 61)):
            mark, sent = len(suite.events()), time.monotonic()
            window.send("select view %d %d" % (start, end))
            latencies.append(suite.helper.selected(mark, VIEW[start:end]) and
                             time.monotonic() - sent)
        suite.check(all(latencies) and max(latencies) < 1.2,
                    "only the %s announced, a new selection is read at once: %s s" % (
                        announced, latencies))
        session.end(window.process)

    # Bounds that come a moment after the selection (Firefox on Wayland): measured again, the
    # selection is reported once more where it is.
    late = suite.window("Glimwick Fixture Late Extents", "--late-extents")
    suite.follow(late.xid, late.process.pid)
    mark = len(suite.events())
    late.send("select view 42 61")
    box = lambda p: [round(p.get(k, -1)) for k in "xywh"]
    want = wait_until(lambda: [p for p in suite.events(CHANGED, mark) if p["w"] > 40], 5)
    suite.check(want and box(want[0]) == box(suite.events(CHANGED, mark)[-1]),
                "bounds measured again while they settle: %s" % suite.events(CHANGED, mark))

    # No size for the range: the rectangle surrounds the pointer, top-left coordinates.
    # Or a place relative to the widget, not the screen (Konsole's): no place is better.
    for mode, end in (("--no-range-extents", 57), ("--widget-extents", 61)):
        window = suite.window("Glimwick Fixture " + mode, mode)
        suite.activate(window)
        session.run(["xdotool", "mousemove", "--sync", "300", "100"])
        assert suite.bound_to(window.process.pid), helper.log()
        mark = len(suite.events())
        window.send("select view 42 %d" % end)
        got = suite.helper.selected(mark, VIEW[42:end]) or {}
        suite.check([got.get(k) for k in "xywh"] == [280, 90, 40, 20],
                    "%s: around the pointer: %s" % (mode, got))

    # A range the toolkit cannot measure (Swing's HTML documents): its characters still place it.
    window = suite.window("Glimwick Fixture Unmeasured", "--unmeasured-range")
    suite.follow(window.xid, window.process.pid)
    mark = len(suite.events())
    window.send("select view 42 91")
    got = suite.helper.selected(mark, VIEW[42:91]) or {}
    view = next(o for o in desktop.walk(wayland.of_process(window.process.pid)) if o.name == "view")
    boxes = [view.queryText().getCharacterExtents(i, desktop.a11y().DESKTOP_COORDS)
             for i in range(42, 91)]
    suite.check(desktop.fits([got.get(k, 0) for k in "xywh"], [b for b in boxes if b[2] > 0]),
                "an unmeasured range is placed by its characters: %s" % got)


def faults(suite):
    session = suite.session
    view = suite.window("Glimwick Fixture A")
    suite.activate(view)
    helper = suite.start_helper(1)
    assert suite.bound_to(view.process.pid), helper.log()

    def works(window, start, end):
        mark = len(suite.events())
        window.send("select view %d %d" % (start, end))
        return suite.helper.selected(mark, VIEW[start:end], 15)

    # A stopped application is read again once it answers; one killed leaves nothing behind
    # that holds the next one up. (How long either holds the loop: the deadline scenario.)
    suite.check(works(view, 0, 8), "a selection before the faults")
    os.kill(view.process.pid, signal.SIGSTOP)
    suite.check(suite.round_trip(), "stopped: the helper answers")
    os.kill(view.process.pid, signal.SIGCONT)
    suite.check(works(view, 9, 16), "read again once it answers")
    os.kill(view.process.pid, signal.SIGKILL)
    other = suite.window("Glimwick Fixture B")
    suite.activate(other)
    suite.check(works(other, 0, 8), "the next application is read")

    # The registry killed: the bus starts it again; old and new applications are read.
    launcher = session.named["a11y"].pid
    killed = subprocess.run(["pkill", "-KILL", "-g", str(launcher), "-f", "at-spi2-registryd"])
    suite.check(killed.returncode == 0 and suite.status_now()["axTrusted"] and works(other, 17, 25),
                "after the registry's restart, trusted, and the application read")
    third = suite.window("Glimwick Fixture C")
    suite.activate(third)
    suite.check(works(third, 4, 12), "an application started after it is read")

    # The accessibility bus gone: disabled, still answering.
    os.killpg(launcher, signal.SIGKILL)
    suite.check(wait_until(lambda: suite.status_now()["axErrorCode"] == -25211, 15) and
                not suite.status_now()["axTrusted"], "without the accessibility bus: -25211")
    slowest = suite.slowest_ping(1)
    suite.check(slowest is not None and slowest < 1 and helper.process.poll() is None,
                "and still answering: slowest ping %s s" % slowest)


def deadline(suite):
    """Applications that make a reading slow: stopped, answering every call 20 ms late, with
    10,000 objects, leaving the bus in the middle of it. While each is read, pings are answered
    within the reading's deadline (0.9 s) and 0.1 s more."""
    import threading
    suite.start_helper(1)
    start = len(VIEW) + 1

    def case(what, embedded, lag=0, then=None, read=False):
        options = ["--embedded", str(embedded)] + (["--lag", str(lag)] if lag else [])
        title = "deadline-%d-%d" % (embedded, lag)
        app = suite.window(title, *options)
        suite.follow(app.xid, app.process.pid)
        mark = len(suite.helper.events())
        app.send("select view %d %d" % (start, start + len("Items:") + 2 * embedded + 5))
        if then:
            then(app.process.pid)
        slowest = suite.slowest_ping(4)
        suite.check(slowest is not None and slowest <= 1.0,
                    "%s: the slowest ping while it is read, %s s" % (what, slowest))
        if read:
            last = "item %d of %s end." % (embedded - 1, title)
            payload = suite.helper.selected(mark, timeout=30) or {}
            suite.check(payload.get("text", "").endswith(last),
                        "%s: and its selection arrives whole" % what)
        if app.process.poll() is None:
            os.kill(app.process.pid, signal.SIGCONT)
        suite.session.end(app.process)

    case("a stopped application", 50, then=lambda pid: os.kill(pid, signal.SIGSTOP))
    case("an application that answers every call 20 ms late", 200, lag=20, read=True)
    case("an application with 10,000 objects", 10000, read=True)
    # Killed while the helper reads its 10,000 objects, 20 ms a call.
    case("an application that leaves the bus in the middle of a reading", 10000, lag=20,
         then=lambda pid: threading.Timer(0.6, os.kill, (pid, signal.SIGKILL)).start())
    suite.check(suite.helper.process.poll() is None and suite.round_trip(),
                "the helper answers after all of them")


def soak(suite):
    soaking.soak(suite, VIEW)


BUS_ONLY = dict(display=False, accessibility=False, window_manager=False)
SCENARIOS = [pytest.param(name, marks=pytest.mark.desktop(**parts)) for name, parts in (
    ("bus", BUS_ONLY), ("hostile", BUS_ONLY), ("selection", dict(monitor=True)),
    ("faults", dict(monitor=True)), ("primary", {}), ("deadline", {}), ("soak", {}),
    ("weston", dict(window_manager=False)),
    ("sway", dict(display=False, window_manager=False)))]


# libatspi connects to one accessibility bus per process, and each scenario's desktop has its
# own: each runs in a process of its own.
@pytest.mark.forked
@pytest.mark.parametrize("scenario", SCENARIOS)
def test_scenario(scenario, session, build):
    suite = Suite(session)
    suite.setup(*(os.path.join(build, name) for name in
                  ("glimwick", "glimwick-ctl", "glimwick_fixture_app")))
    if scenario in wayland.COMPOSITORS:
        wayland.wayland(suite, scenario)
    else:
        globals()[scenario](suite)
    if suite.helper and suite.helper.process.poll() is None:
        suite.check("runtime error" not in suite.helper.log(), "no sanitizer report")
    assert not suite.failures, "\n".join(suite.failures)
