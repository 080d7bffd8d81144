#!/usr/bin/python3
"""Resident memory through storms of commands, on a private session bus.

Usage: storm_bench.py HELPER

Prints Markdown table rows: the helper's resident memory before a storm of 10,000 pings and
before a burst of 100 commands of 2 MB each, its peak while each pours in, and 5 s after each
ends.
"""

import os
import signal
import subprocess
import sys
import tempfile
import threading
import time

from gi.repository import Gio, GLib

PINGS = 10000
BURST = 100
BIG = 2 * 1024 * 1024
SETTLE = 5.0


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class Sampler(threading.Thread):
    """Keeps the peak resident memory of a process, sampled every 2 ms."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid, self.peak, self.running = pid, 0, True

    def run(self):
        while self.running:
            self.peak = max(self.peak, resident_kib(self.pid))
            time.sleep(0.002)

    def stop(self):
        self.running = False
        self.join()
        return self.peak


def main():
    helper_path = sys.argv[1]
    work = tempfile.mkdtemp(prefix="glimwick-storm-")
    bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1",
                            "--address=unix:dir=" + work], stdout=subprocess.PIPE,
                           start_new_session=True)
    address = bus.stdout.readline().decode().strip()
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env["DBUS_SESSION_BUS_ADDRESS"] = address
    helper = subprocess.Popen([helper_path], env=env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        connection = Gio.DBusConnection.new_for_address_sync(
            address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT |
            Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
        pongs = [0]
        connection.signal_subscribe(None, "com.corvala.app", "pong", None, None, 0,
                                    lambda *args: pongs.__setitem__(0, pongs[0] + 1))
        context = GLib.MainContext.default()

        def pump_until(condition, timeout):
            end = time.monotonic() + timeout
            while not condition() and time.monotonic() < end:
                context.iteration(False)
                time.sleep(0.001)
            return condition()

        def emit(member, text=None):
            body = GLib.Variant("(s)", (text,)) if text is not None else None
            connection.emit_signal(None, "/", "com.corvala.helper", member, body)

        # Started and answering: then a moment of rest for the baseline.
        assert pump_until(lambda: (emit("ping"), connection.flush_sync(None),
                                   pongs[0] > 0)[-1], 10), "the helper never answered"
        pump_until(lambda: False, 2)
        rows = []

        def storm(label, send, expected):
            before = resident_kib(helper.pid)
            sampler = Sampler(helper.pid)
            sampler.start()
            pongs[0] = 0
            began = time.monotonic()
            send()
            connection.flush_sync(None)
            # Done when every answer came, or none has for a second (the rest were dropped).
            last = [pongs[0], time.monotonic()]

            def settled():
                if pongs[0] != last[0]:
                    last[:] = [pongs[0], time.monotonic()]
                return pongs[0] >= expected or time.monotonic() - last[1] > 1.0
            pump_until(settled, 60)
            elapsed = last[1] - began
            pump_until(lambda: False, SETTLE)
            peak = sampler.stop()
            after = resident_kib(helper.pid)
            rows.append("| %s | %.1f MB | %.1f MB | %.1f MB | %.2f MB | %d of %d answered in "
                        "%.1f s |" % (label, before / 1024, peak / 1024, after / 1024,
                                      (after - before) / 1024, pongs[0], expected, elapsed))

        storm("10,000 pings", lambda: [emit("ping") for _ in range(PINGS)], PINGS)
        padding = "x" * BIG
        storm("100 pings of 2 MB each (one string)",
              lambda: [emit("ping", '{"padding": "%s"}' % padding) for _ in range(BURST)], BURST)
        # What costs a JSON parser most: a million small values, in a command that is parsed.
        numbers = '{"appPID": 1, "padding": [%s0]}' % ("0," * (BIG // 2 - 1))

        def commands():
            for _ in range(BURST):
                emit("startMonitoring", numbers)
                emit("ping")
        storm("100 startMonitoring of 2 MB each (a million numbers), a ping after each",
              commands, BURST)
        print("| storm | before | peak | 5 s after | after - before | pongs |")
        print("|---|---|---|---|---|---|")
        for row in rows:
            print(row)
    finally:
        for process in (helper, bus):
            os.killpg(process.pid, signal.SIGTERM)
            process.wait(5)
    return 0


if __name__ == "__main__":
    sys.exit(main())
