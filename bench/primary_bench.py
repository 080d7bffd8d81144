#!/usr/bin/python3
"""xterm read through the PRIMARY selection, on a private desktop.

Usage: primary_bench.py HELPER CTL [ROUNDS]

Prints, as Markdown lines: the time from the end of a drag to the selection reaching the main
app, and the helper's CPU with xterm focused and a selection held for 30 s.
"""

import os
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import desktop  # noqa: E402
import e2e  # noqa: E402
import primary  # noqa: E402

HOLD = 30


def cpu_seconds(pid):
    """CPU time of pid's threads, to the nanosecond: the scheduler's own count (/proc/PID/stat
    counts clock ticks of 10 ms)."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as schedstat:
                total += int(schedstat.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass  # a thread that ended meanwhile
    return total / 1e9


def main():
    helper_path, ctl = sys.argv[1:3]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 20
    session = desktop.Session(tempfile.mkdtemp(prefix="glimwick-primary-bench-"))
    try:
        session.start()
        helper = desktop.Helper(session, helper_path, ctl)
        suite = e2e.Suite(session)
        suite.helper = helper
        term = session.spawn(["xterm", "-fn", "fixed", "-geometry", "80x10+40+40", "-T",
                              "bench-xterm", "-e", "sh", "-c",
                              "printf '%s\\n'; exec sleep 100000" % primary.LINE], "xterm")
        xid = desktop.wait_until(lambda: suite.x("search", "--name", "bench-xterm").split(), 30)
        xid = xid[0]
        suite.follow(xid, term.pid)
        latencies, missed = [], 0
        for i in range(rounds):
            # Alternate selections: the same one again is rightly not reported again.
            first, last = (4, 18) if i % 2 == 0 else (0, 8)
            mark = len(helper.events())
            start = primary.xterm_cell(session, xid, first, 0)
            end = primary.xterm_cell(session, xid, last + 1, 0)
            suite.x("mousemove", "--sync", *start, "mousedown", "1")
            suite.x("mousemove", "--sync", *end)
            released = time.monotonic()
            suite.x("mouseup", "1")
            if helper.selected(mark, timeout=5):
                latencies.append(time.monotonic() - released)
            else:
                missed += 1
        before = cpu_seconds(helper.process.pid)
        began = time.monotonic()
        desktop.wait_until(lambda: time.monotonic() - began >= HOLD, HOLD + 5, 0.5)
        used = cpu_seconds(helper.process.pid) - before
        elapsed = time.monotonic() - began
    finally:
        session.stop()
    print("- xterm %s, selected by drag (%d rounds): median %.0f ms from the button's release "
          "to the main app, p95 %.0f ms; %d not reported" % (
              desktop.version("xterm"), rounds, statistics.median(latencies) * 1000,
              sorted(latencies)[int(len(latencies) * 0.95) - 1] * 1000, missed))
    print("- helper CPU with xterm focused and its selection held for %d s: %.2f %% of a core" % (
        HOLD, used / elapsed * 100))
    return 0


if __name__ == "__main__":
    sys.exit(main())
