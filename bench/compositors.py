"""The compositors only the benchmarks run, headless: GNOME's Mutter and KDE's KWin, each
typed into from inside (the suite runs weston and sway: tests/e2e/wayland.py)."""

import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from desktop import wait_until  # noqa: E402
from wayland import NATIVE, SOCKET, started  # noqa: E402

# Linux input key codes, for compositors typed into from inside (Mutter, KWin).
KEYCODES = {"ctrl": 29, "shift": 42, "Home": 102, "End": 107, "Left": 105, "Right": 106}


def chord_codes(chord):
    return [KEYCODES[key] for key in chord.split("+")]


class Mutter:
    """GNOME's compositor, headless, typed into through its remote-desktop interface, as GTK's
    own headless tests do. It activates a new window only once that session's devices have
    been used, so the session stays open throughout."""
    xwayland = None
    REMOTE = "org.gnome.Mutter.RemoteDesktop"

    def __init__(self, session, build):
        from gi.repository import Gio, GLib
        started(session, "mutter", ["mutter", "--headless", "--wayland", "--no-x11",
                                    "--virtual-monitor", "1280x1024", "--wayland-display",
                                    SOCKET])
        self.bus = Gio.DBusConnection.new_for_address_sync(
            session.env["DBUS_SESSION_BUS_ADDRESS"],
            Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT |
            Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
        call = lambda name, path, interface, method, args=None: self.bus.call_sync(
            name, path, interface, method, args, None, 0, 5000, None).unpack()
        assert wait_until(lambda: call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                       "org.freedesktop.DBus", "NameHasOwner",
                                       GLib.Variant("(s)", (self.REMOTE,)))[0], 20), \
            "Mutter offers no remote desktop"
        path = call(self.REMOTE, "/org/gnome/Mutter/RemoteDesktop", self.REMOTE,
                    "CreateSession")[0]
        self.notify = lambda code, pressed: call(
            self.REMOTE, path, self.REMOTE + ".Session", "NotifyKeyboardKeycode",
            GLib.Variant("(ub)", (code, pressed)))
        call(self.REMOTE, path, self.REMOTE + ".Session", "Start")

    def keys(self, *chords):
        for chord in chords:
            codes = chord_codes(chord)
            for code in codes:
                self.notify(code, True)
            for code in reversed(codes):
                self.notify(code, False)
            time.sleep(0.03)  # typed as xdotool --delay 30 types


class KWin:
    """KDE's compositor on a virtual output, typed into through its fake-input protocol."""
    xwayland = None

    def __init__(self, session, build):
        self.session = session
        self.typist = os.path.join(build, "glimwick_fake_input")
        # The packaged binary carries a file capability (cap_sys_resource), and exec fails
        # where the bounding set lacks it (containers); a copy carries none, and needs none.
        binary = os.path.join(session.work, "kwin_wayland")
        shutil.copy(shutil.which("kwin_wayland"), binary)
        started(session, "kwin", [binary, "--virtual", "--no-lockscreen", "--socket", SOCKET,
                                  "--width", "1280", "--height", "1024"],
                env={"KWIN_COMPOSE": "Q", "KWIN_WAYLAND_NO_PERMISSION_CHECKS": "1"})

    def keys(self, *chords):
        codes = ["+".join(map(str, chord_codes(chord))) for chord in chords]
        typed = subprocess.run([self.typist, *codes], env={**self.session.env, **NATIVE},
                               capture_output=True, timeout=30)
        assert typed.returncode == 0, typed.stderr.decode()


COMPOSITORS = {"mutter": Mutter, "kwin": KWin}
