#!/usr/bin/python3
"""What the Python suites and benchmarks share: the helper as a main app sees it, named checks
run in a private session, driven fixture programs, and pyatspi for reading applications back."""

import json
import os
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "scripts"))
from session import Session, private, wait_until  # noqa: E402,F401

CHANGED = "com.corvala.app.selectionChanged"
CLEARED = "com.corvala.app.selectionCleared"
STATUS = "com.corvala.app.permissionStatus"
PONG = "com.corvala.app.pong"
DIAGNOSTICS = "com.corvala.app.diagnostics"

class Helper:
    """The helper and a main app's view of it (glimwick-ctl watch)."""

    def __init__(self, session, helper, ctl, name="helper", app_pid=1, **spawn):
        self.session = session
        self.ctl = ctl
        self.name = name
        self.watch = session.spawn([ctl, "watch"], name + "-watch")
        assert wait_until(lambda: "watching" in session.read(name + "-watch.log"), 10)
        self.process = session.spawn([helper], name, **spawn)
        # Its start diagnostic, not its banner: commands sent before it listens are lost.
        assert wait_until(lambda: [p for p in self.payloads(DIAGNOSTICS) if p.get("context")
                                   == "启动" and p.get("pid") == self.process.pid], 10), self.log()
        if app_pid is not None:
            self.start(app_pid)

    def start(self, app_pid):
        out = self.session.run([self.ctl, "start", "--app-pid", str(app_pid)])
        assert b"monitoring" in out.lower() or self.started(), out

    def started(self):
        return "监听已启动" in self.session.read(self.name + "-watch.log")

    def log(self):
        return self.session.read(self.name + ".log")

    def events(self):
        """Every event the main app saw, in order: {"name": ..., "payload": ...}."""
        with open(os.path.join(self.session.work, self.name + "-watch.log"),
                  encoding="utf-8", errors="replace") as lines:
            # The last line may be half written.
            return [json.loads(line) for line in lines if line.startswith("{") and
                    line.endswith("\n")]

    def payloads(self, name=None, mark=0):
        return [e["payload"] for e in self.events()[mark:] if name in (None, e["name"])]

    def selected(self, mark, text=None, timeout=10, name=CHANGED):
        """The first event so named after event number mark (with that text, when given: a
        selection may be reported on its way), or None."""
        found = lambda: [p for p in self.payloads(name, mark) if text in (None, p.get("text"))]
        return (wait_until(found, timeout, 0.01) or [None])[0]


class Checks:
    """The named checks of one scenario, printed as they pass or fail."""

    def __init__(self, session):
        self.session, self.failures, self.checks = session, [], 0

    def check(self, ok, message):
        self.checks += 1
        print(("ok   " if ok else "FAIL ") + message, flush=True)
        if not ok:
            self.failures.append(message)


class Fixture:
    """A program driven line by line on stdin (the GTK fixture, the PRIMARY owner): each
    command is answered with one line."""

    def __init__(self, session, argv, name, **spawn):
        self.session, self.name = session, name
        self.process = session.spawn(argv, name, stdin=subprocess.PIPE, **spawn)
        self.log = os.path.join(session.work, name + ".log")
        assert wait_until(lambda: "ready" in self.output(), 30, 0.05), "%s never started" % name
        self.xid = self.output().split()[1]

    def output(self):
        return open(self.log, errors="replace").read()

    def answers(self):
        return sum(1 for line in self.output().splitlines() if line.startswith("ok"))

    def send(self, line):
        answered = self.answers()
        self.process.stdin.write((line + "\n").encode())
        self.process.stdin.flush()
        assert wait_until(lambda: self.answers() > answered, 10, 0.02), line
        return [l for l in self.output().splitlines() if l.startswith("ok")][-1][3:]


TOLERANCE = 2  # pixels on each edge


def unite(boxes):
    left, top = min(b[0] for b in boxes), min(b[1] for b in boxes)
    right, bottom = max(b[0] + b[2] for b in boxes), max(b[1] + b[3] for b in boxes)
    return left, top, right - left, bottom - top


def meet(a, b):
    """Where two rectangles overlap, or None."""
    left, top = max(a[0], b[0]), max(a[1], b[1])
    right, bottom = min(a[0] + a[2], b[0] + b[2]), min(a[1] + a[3], b[1] + b[3])
    return (left, top, right - left, bottom - top) if right > left and bottom >= top else None


def fits(got, boxes, clip=None):
    """Whether rectangle got is where the selected characters' own boxes put it: it holds them
    all, stays within clip, and runs past them by a few characters' room at most (Qt's and
    Firefox's range boxes run on past a range's last character; characters of no height, in
    KDE's editor, stand for their line)."""
    if not boxes:
        return False
    total = unite(boxes)
    total = meet(total, clip) if clip else total
    if not total:
        return False
    room = (3 * statistics.median(b[2] for b in boxes),
            statistics.median(b[3] for b in boxes) or 20)
    edges = lambda r: (r[0], r[1], r[0] + r[2], r[1] + r[3])
    (gl, gt, gr, gb), (wl, wt, wr, wb) = edges(got), edges(total)
    holds = gl <= wl + TOLERANCE and gt <= wt + TOLERANCE and gr >= wr - TOLERANCE and \
        gb >= wb - TOLERANCE
    near = wl - gl <= room[0] and wr - gr >= -room[0] and wt - gt <= room[1] and \
        gb - wb <= room[1]
    inside = meet(got, clip) if clip else got
    within = inside is not None and all(abs(p - q) <= TOLERANCE for p, q in zip(inside, got))
    return holds and near and within


def a11y():
    import pyatspi  # imported once the private session is in the environment
    return pyatspi


def application(name):
    pyatspi = a11y()
    from gi.repository import GLib
    # libatspi keeps the list of applications it saw first; without a main loop of ours it
    # would never learn of one that came later.
    while GLib.MainContext.default().iteration(False):
        pass
    desktop = pyatspi.Registry.getDesktop(0)
    desktop.clear_cache()
    for app in desktop:
        if app is not None and app.name and name.lower() in app.name.lower():
            return app
    return None


def walk(obj, depth=0):
    if obj is None or depth > 60:
        return
    yield obj
    try:
        for i in range(obj.childCount):
            yield from walk(obj.getChildAtIndex(i), depth + 1)
    except Exception:  # objects go away while we look
        return


def text_of(obj):
    try:
        return obj.queryText()
    except NotImplementedError:
        return None


CONTENT = {"document web", "document text", "text", "terminal", "paragraph", "page"}

def version(package):
    out = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", package], capture_output=True)
    return out.stdout.decode() or "?"



def activate(session, xid):
    """Makes the X11 window active, as a click on it would."""
    x = lambda *args: session.run(["xdotool", *args]).decode().strip()
    assert wait_until(lambda: x("windowactivate", "--sync", xid) is not None and
                      x("getactivewindow") == xid, 30, 0.1), "%s never active" % xid
