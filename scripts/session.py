#!/usr/bin/python3
"""A private desktop session: Xvfb, a session bus, the accessibility bus and openbox (each
part optional), every process leading its own process group and ended by its pid.

The Python suites and benchmarks import it. The demo runs it:
  session.py start DIR   starts one, prints the environment to export, leaves it running
  session.py stop DIR    ends the processes of the one started in DIR
"""

import contextlib
import os
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time


def wait_until(condition, timeout, step=0.05):
    end = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() > end:
            return value
        time.sleep(step)


# Ends the groups it is told of once the session's process is gone without saying "done":
# a run killed mid-way (a CTest time-out, a signal) leaves nothing running. It leaves the
# session's process tree first, so that whoever kills that tree does not kill it too.
GUARD = """
import os, signal, sys, time
if os.fork():
    os._exit(0)
groups = {}
for line in sys.stdin:
    if line.strip() == "done":
        sys.exit(0)
    groups.pop(-int(line), None) if line[0] == "-" else groups.setdefault(int(line))
for sig in (signal.SIGTERM, signal.SIGKILL):
    for group in reversed(list(groups)):
        try:
            os.killpg(group, sig)
        except OSError:
            pass
    time.sleep(2)
"""


class Session:
    """Processes of one desktop, each leading its own group, ended by pid at the end (or by a
    guard, when this process ends first; guard=False: the session outlives this process)."""

    def __init__(self, work, guard=True):
        self.work = work
        self.groups = []
        self.named = {}
        self.guard = None
        if guard:
            read, write = os.pipe()
            subprocess.run([sys.executable, "-c", GUARD], stdin=read, check=True)
            os.close(read)
            self.guard = os.fdopen(write, "w", buffering=1)
        self.env = dict(os.environ)
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "MOZ_HEADLESS"):
            self.env.pop(name, None)

    def spawn(self, argv, name, env=None, drop=(), stdin=subprocess.DEVNULL, **kwargs):
        environment = {k: v for k, v in {**self.env, **(env or {})}.items() if k not in drop}
        with open(os.path.join(self.work, name + ".log"), "ab") as log:
            process = subprocess.Popen(argv, env=environment, stdout=log,
                                       stderr=subprocess.STDOUT, stdin=stdin,
                                       start_new_session=True, **kwargs)
        self.groups.append(process)
        self.named[name] = process
        self.tell("%d" % process.pid)
        return process

    def tell(self, line):
        if self.guard is not None:
            self.guard.write(line + "\n")

    def start(self, window_manager=True, display=True, accessibility=True, monitor=False):
        runtime = os.path.join(self.work, "run")
        os.makedirs(runtime, mode=0o700)
        self.env.update(XDG_RUNTIME_DIR=runtime, HOME=self.work, TMPDIR=self.work,
                        GTK_A11Y="atspi",
                        NO_AT_BRIDGE="0", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                        QT_ACCESSIBILITY="1", GNOME_ACCESSIBILITY="1", LANG="C.UTF-8")
        if display:
            read, write = os.pipe()
            self.spawn(["Xvfb", "-displayfd", str(write), "-screen", "0", "1280x1024x24",
                        "-nolisten", "tcp", "-noreset"], "xvfb", pass_fds=(write,))
            os.close(write)
            with os.fdopen(read) as pipe:
                self.env["DISPLAY"] = ":" + pipe.readline().strip()
        self.spawn(["dbus-daemon", "--session", "--nofork", "--print-address=1",
                    "--address=unix:dir=" + runtime], "bus")
        address_file = os.path.join(self.work, "bus.log")
        address = wait_until(lambda: open(address_file).readline().strip(), 10)
        assert address, "no session bus"
        self.env["DBUS_SESSION_BUS_ADDRESS"] = address
        if monitor:
            self.spawn(["dbus-monitor", "--session"], "monitor")
            assert wait_until(lambda: "NameAcquired" in self.read("monitor.log"), 10)
        if accessibility:
            self.spawn(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately",
                        "--a11y=1"], "a11y")
            assert wait_until(lambda: b"true" in self.run(
                ["gdbus", "call", "--session", "--dest", "org.freedesktop.DBus", "--object-path",
                 "/org/freedesktop/DBus", "--method", "org.freedesktop.DBus.NameHasOwner",
                 "org.a11y.Bus"]), 10), "no accessibility bus"
        if display and window_manager:
            self.spawn(["openbox"], "openbox")
            assert wait_until(lambda: self.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"])
                              .find(b"window id") >= 0, 10), "no window manager"
        os.environ.update(self.env)  # for pyatspi in this process

    def read(self, name):
        return open(os.path.join(self.work, name), encoding="utf-8", errors="replace").read()

    def run(self, argv):
        return subprocess.run(argv, env=self.env, capture_output=True, timeout=30).stdout

    def end(self, process):
        end(process)
        self.tell("-%d" % process.pid)

    def stop(self):
        for process in reversed(self.groups):
            self.end(process)
        self.tell("done")


@contextlib.contextmanager
def private(prefix, failed=lambda: False, **parts):
    """A desktop of its own (parts: Session.start's) in a new work folder, stopped at the end
    whatever happened; the folder, with every process's log, stays when the run failed."""
    work = tempfile.mkdtemp(prefix=prefix)
    session = Session(work)
    kept = True
    try:
        session.start(**parts)
        yield session
        kept = failed()
    finally:
        session.stop()
        if kept:
            print("logs kept in", work, flush=True)
        else:
            shutil.rmtree(work, ignore_errors=True)


def end(process):
    """Ends a process's group: politely, then not."""
    try:
        os.killpg(process.pid, signal.SIGTERM)
        process.wait(5)
    except (ProcessLookupError, subprocess.TimeoutExpired):
        try:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait(5)
        except (ProcessLookupError, subprocess.TimeoutExpired):
            pass


EXPORTED = ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR", "GTK_A11Y", "NO_AT_BRIDGE",
            "QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "QT_ACCESSIBILITY", "GNOME_ACCESSIBILITY")


class Stopped:
    """A process of a session started by another run, known by its pid only."""

    def __init__(self, pid):
        self.pid = pid

    def wait(self, timeout):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            try:
                with open("/proc/%d/stat" % self.pid) as stat:
                    if stat.read().rsplit(")", 1)[1].split()[0] == "Z":  # no parent reaps it
                        return 0
            except OSError:
                return 0
            time.sleep(0.05)
        raise subprocess.TimeoutExpired(str(self.pid), timeout)


def main():
    command, work = sys.argv[1:3]
    pids = os.path.join(work, "session.pids")
    if command == "start":
        session = Session(work, guard=False)
        session.start()
        with open(pids, "w") as out:
            out.write(" ".join(str(process.pid) for process in session.groups))
        for name in EXPORTED:
            print("export %s=%s" % (name, shlex.quote(session.env[name])))
    else:
        for pid in reversed(open(pids).read().split()):
            end(Stopped(int(pid)))


if __name__ == "__main__":
    main()
