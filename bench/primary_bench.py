#!/usr/bin/python3
"""xterm and a Tk text read through the PRIMARY selection, on a private desktop.

Usage: primary_bench.py HELPER CTL [ROUNDS]

Prints, as Markdown lines: the time from the end of a drag in xterm, and from the release of a
double-click in a Tk text (which keeps PRIMARY, so only the gesture says it changed), to the
selection reaching the main app; and the helper's CPU with each focused and a selection held
for 30 s.
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
import test_scenarios as e2e  # noqa: E402
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


def hold(helper):
    """The helper's CPU, in % of a core, over HOLD seconds of nothing happening."""
    before = cpu_seconds(helper.process.pid)
    began = time.monotonic()
    desktop.wait_until(lambda: time.monotonic() - began >= HOLD, HOLD + 5, 0.5)
    return (cpu_seconds(helper.process.pid) - before) / (time.monotonic() - began) * 100


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
        held = hold(helper)
        tk = desktop.Fixture(session, ["wish", primary.TK, "bench-tk", primary.LINE], "tk")
        tk_xid = desktop.wait_until(lambda: suite.x("search", "--name", "bench-tk").split(), 30)
        suite.follow(tk_xid[0], tk.process.pid)
        words = [("quick", "1.6"), ("lazy", "1.37"), ("brown", "1.12")]
        tk_latencies, tk_missed = [], 0
        for i in range(rounds + 1):  # the first takes PRIMARY: not a gesture's
            word, index = words[0] if i == 0 else words[1 + i % 2]
            x, y = tk.send("where " + index).split()
            mark = len(helper.events())
            suite.x("mousemove", "--sync", x, y, "click", "--repeat", "2", "--delay", "80", "1")
            released = time.monotonic()
            if helper.selected(mark, word, timeout=5):
                if i > 0:
                    tk_latencies.append(time.monotonic() - released)
            elif i > 0:
                tk_missed += 1
        tk_held = hold(helper)
    finally:
        session.stop()
    print("- xterm %s, selected by drag (%d rounds): median %.0f ms from the button's release "
          "to the main app, p95 %.0f ms; %d not reported" % (
              desktop.version("xterm"), rounds, statistics.median(latencies) * 1000,
              sorted(latencies)[int(len(latencies) * 0.95) - 1] * 1000, missed))
    print("- helper CPU with xterm focused and its selection held for %d s: %.2f %% of a core" % (
        HOLD, held))
    print("- a Tk %s text, which keeps PRIMARY, double-clicked on a word (%d rounds): median "
          "%.0f ms from the release to the main app, slowest %.0f ms; %d not reported" % (
              desktop.version("tk8.6"), rounds, statistics.median(tk_latencies) * 1000,
              max(tk_latencies) * 1000, tk_missed))
    print("- helper CPU with the Tk text focused and its selection held for %d s: %.2f %% of a "
          "core" % (HOLD, tk_held))
    return 0


if __name__ == "__main__":
    sys.exit(main())
