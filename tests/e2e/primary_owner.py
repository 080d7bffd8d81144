#!/usr/bin/python3
"""An X11 application without accessibility that owns PRIMARY with known text.

Usage: primary_owner.py TITLE BYTES [--silent]

Maps a window titled TITLE that declares no pid (as Tk's do) and prints "ready XID". Each
"own [DELAY [TEXT]]" on stdin makes PRIMARY hold BYTES bytes of "abc...z\\n" repeated (or
TEXT), answered "ok"; its conversions are answered DELAY seconds late, with the text of the
ownership they were asked under. Large texts go incrementally (INCR), as toolkits send them;
--silent never answers. Each conversion asked of it is printed as "request".
"""

import select
import sys
import time

from Xlib import X, Xatom, display
from Xlib.protocol import event

CHUNK = 64 * 1024


def main():
    title, size, silent = sys.argv[1], int(sys.argv[2]), sys.argv[3:] == ["--silent"]
    text = (b"abcdefghijklmnopqrstuvwxyz\n" * (size // 27 + 1))[:size]
    x = display.Display()
    # A requestor that has gone since it asked (a late answer): nobody waits for that error.
    x.set_error_handler(lambda *_: None)
    root = x.screen().root
    window = root.create_window(0, 0, 300, 200, 0, X.CopyFromParent, background_pixel=0xffffff)
    window.set_wm_name(title)
    window.map()
    # Like a browser's, the selection's owner is a window of no top-level, without a pid.
    owner = root.create_window(-10, -10, 1, 1, 0, X.CopyFromParent)
    x.sync()
    print("ready", window.id, flush=True)
    utf8, incr, targets = (x.intern_atom(n) for n in ("UTF8_STRING", "INCR", "TARGETS"))
    transfers = {}  # requestor window id: [property, type, offset]
    held, delay, late = text, 0.0, []  # late: [(due, request, text)]
    while True:
        while late and late[0][0] <= time.monotonic():
            _, request, answered = late.pop(0)
            answer(x, request, answered, (utf8, incr, targets), transfers)
        if not x.pending_events():
            wait = max(0.0, late[0][0] - time.monotonic()) if late else None
            ready, _, _ = select.select([sys.stdin, x.fileno()], [], [], wait)
            if sys.stdin in ready:
                line = sys.stdin.readline()
                if not line:
                    return 0
                words = line.split(None, 2)
                delay = float(words[1]) if len(words) > 1 else 0.0
                held = words[2].rstrip("\n").encode() if len(words) > 2 else text
                owner.set_selection_owner(Xatom.PRIMARY, X.CurrentTime)
                x.sync()
                print("ok", flush=True)
        while x.pending_events():
            e = x.next_event()
            if e.type == X.SelectionRequest:
                print("request", flush=True)
                if not silent:
                    late.append((time.monotonic() + delay, e, held))
                    late.sort(key=lambda entry: entry[0])
            elif e.type == X.PropertyNotify and e.state == X.PropertyDelete and \
                    transfers.get(e.window.id, [None])[0] == e.atom:
                prop, kind, offset = transfers[e.window.id]
                e.window.change_property(prop, kind, 8, text[offset:offset + CHUNK])
                transfers[e.window.id][2] = offset + CHUNK
                if offset >= len(text):
                    del transfers[e.window.id]  # the empty chunk ends the transfer
                x.flush()


def answer(x, request, text, atoms, transfers):
    utf8, incr, targets = atoms
    requestor, prop = request.requestor, request.property
    if request.target == targets:
        requestor.change_property(prop, Xatom.ATOM, 32, [targets, utf8, Xatom.STRING])
    elif request.target in (utf8, Xatom.STRING) and len(text) > CHUNK:
        requestor.change_attributes(event_mask=X.PropertyChangeMask)
        transfers[requestor.id] = [prop, request.target, 0]
        requestor.change_property(prop, incr, 32, [len(text)])
    elif request.target in (utf8, Xatom.STRING):
        requestor.change_property(prop, request.target, 8, text)
    else:
        prop = X.NONE
    requestor.send_event(event.SelectionNotify(
        time=request.time, requestor=requestor, selection=request.selection,
        target=request.target, property=prop), event_mask=0)
    x.flush()


if __name__ == "__main__":
    sys.exit(main())
