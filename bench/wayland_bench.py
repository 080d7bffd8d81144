#!/usr/bin/python3
"""The helper idle in a headless Wayland session (no X11: the front application comes from
AT-SPI), with a native GTK 4 editor focused and a selection held.

Usage: wayland_bench.py HELPER CTL BUILD mutter|kwin [SECONDS]
  (BUILD holds glimwick_fake_input, which types into KWin; one compositor per run: libatspi joins one bus a process)

Prints, as a Markdown line: the helper's CPU over SECONDS, then its calls to other processes
(sendmsg system calls, counted by strace -c over another SECONDS) per idle tick of 0.4 s.
"""

import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import desktop  # noqa: E402
import wayland  # noqa: E402
from compositors import COMPOSITORS  # noqa: E402
from primary_bench import cpu_seconds  # noqa: E402

TICK = 0.4


class Suite:
    """What the compositors' session helpers ask of a suite."""

    def __init__(self, session, name, build):
        self.session, self.compositor_name = session, name
        self.compositor = COMPOSITORS[name](session, build)


def measure(name, helper_path, ctl, build, seconds):
    session = desktop.Session(tempfile.mkdtemp(prefix="glimwick-wayland-bench-"))
    try:
        session.start(display=False, window_manager=False)
        suite = Suite(session, name, build)
        with open(os.path.join(session.work, "wayland.txt"), "w") as f:
            f.write("The quick brown fox jumps over the lazy dog.\n")
        editor = session.spawn(["gnome-text-editor", "--standalone", "wayland.txt"], "gtk4",
                               env=wayland.NATIVE, cwd=session.work)
        app = desktop.wait_until(lambda: wayland.of_process(editor.pid), 30, 0.2)
        assert app, "GTK 4 never joined the accessibility bus"
        wayland.shown(suite, app, "GTK 4")
        helper = desktop.Helper(session, helper_path, ctl, drop=("DISPLAY", "WAYLAND_DISPLAY"))
        mark = len(helper.events())
        suite.compositor.keys("ctrl+Home", *["shift+Right"] * 9)
        assert helper.selected(mark, "The quick"), "the selection was not reported"
        before, began = cpu_seconds(helper.process.pid), time.monotonic()
        desktop.wait_until(lambda: time.monotonic() - began >= seconds, seconds + 5, 0.5)
        cpu = (cpu_seconds(helper.process.pid) - before) / (time.monotonic() - began) * 100
        began = time.monotonic()
        traced = subprocess.run(["timeout", "-s", "INT", str(seconds), "strace", "-f", "-c",
                                 "-e", "trace=sendmsg", "-p", str(helper.process.pid)],
                                capture_output=True, text=True)
        ticks = (time.monotonic() - began) / TICK
        # % time, seconds, usecs/call, calls, [errors,] syscall
        row = next((line.split() for line in traced.stderr.splitlines()
                    if line.endswith(" sendmsg")), None)
    finally:
        session.stop()
    return cpu, int(row[3]) / ticks if row else 0.0


def main():
    helper_path, ctl, build, name = sys.argv[1:5]
    seconds = int(sys.argv[5]) if len(sys.argv) > 5 else 20
    label, package = {"mutter": ("GNOME's Mutter", "mutter"),
                      "kwin": ("KDE's KWin", "kwin-wayland")}[name]
    cpu, per_tick = measure(name, helper_path, ctl, build, seconds)
    print("- %s %s, gnome-text-editor focused, a selection held %d s: helper CPU %.3f %% of a "
          "core; %.2f calls to other processes per idle tick" % (
              label, desktop.version(package), seconds, cpu, per_tick))
    return 0


if __name__ == "__main__":
    sys.exit(main())
