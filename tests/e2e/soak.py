"""A helper that runs all session long: short-lived applications in turn start, take the focus,
get a selection read through the batch (objects embedded in the text, over the application's
own connection) and exit. Every selection must reach the main app, and nothing kept per
application may outlive it: after warm-up the helper's descriptors and threads stay flat.

GLIMWICK_SOAK_APPS sets how many applications (40 here; the benchmark runs 500)."""

import os
import re
import time

from desktop import wait_until

EMBEDDED = 20
WARM_UP = 5


def usage(pid):
    with open("/proc/%d/status" % pid) as status:
        text = status.read()
    return {"fds": len(os.listdir("/proc/%d/fd" % pid)),
            "threads": int(re.search(r"Threads:\s+(\d+)", text).group(1)),
            "rss_kib": int(re.search(r"VmRSS:\s+(\d+)", text).group(1))}


def soak(suite, view):
    count = int(os.environ.get("GLIMWICK_SOAK_APPS", "40"))
    helper = suite.start_helper(1)
    pid = helper.process.pid
    # From "Items:" to the end of the view: every embedded object but none at an edge.
    start = len(view) + 1
    end = start + len("Items:") + 2 * EMBEDDED + len(" end.")
    reported, baseline, began = 0, None, time.monotonic()
    for i in range(count):
        if i == WARM_UP:
            baseline = usage(pid)
        title = "soak-%d" % i
        wanted = "Items: %s end." % " ".join("item %d of %s" % (k, title) for k in range(EMBEDDED))
        app = suite.window(title, "--embedded", str(EMBEDDED))
        suite.follow(app.xid, app.process.pid)
        mark = len(helper.events())
        app.send("select view %d %d" % (start, end))
        payload = helper.selected(mark) or {}
        text = " ".join(payload.get("text", "").split())
        reported += text == wanted
        if text != wanted:
            print("app %d: %r" % (i, payload.get("text")), flush=True)
        suite.session.end(app.process)
        if i > WARM_UP and (i + 1) % 100 == 0:
            now = usage(pid)
            print("- after %d applications: %d descriptors, %d threads, %d kB resident" %
                  (i + 1, now["fds"], now["threads"], now["rss_kib"]), flush=True)
    # An application's departure is heard a moment after it exits.
    settled = wait_until(lambda: usage(pid)["fds"] <= baseline["fds"] + 2, 10, 0.1)
    final = usage(pid)
    suite.check(reported == count, "every selection reached the main app: %d of %d" %
                (reported, count))
    suite.check(settled and abs(final["fds"] - baseline["fds"]) <= 2 and
                final["threads"] == baseline["threads"],
                "descriptors and threads stay flat after warm-up: %s, then %s" %
                (baseline, final))
    print("- %d applications in %.0f s, %d of their selections reported whole; after warm-up "
          "(%d applications) and at the end: %d and %d descriptors, %d and %d threads, %d kB "
          "and %d kB resident (%+d kB)" %
          (count, time.monotonic() - began, reported, WARM_UP, baseline["fds"], final["fds"],
           baseline["threads"], final["threads"], baseline["rss_kib"], final["rss_kib"],
           final["rss_kib"] - baseline["rss_kib"]), flush=True)
