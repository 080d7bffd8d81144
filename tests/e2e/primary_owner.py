#!/usr/bin/python3
"""An X11 application without accessibility that owns PRIMARY with known text.

Usage: primary_owner.py TITLE BYTES [--silent]

Maps a window titled TITLE that declares no pid (as Tk's do) and prints "ready XID". Each
"own" on stdin makes PRIMARY hold BYTES bytes of "abc...z\\n" repeated, answered "ok". Large
texts go incrementally (INCR), as toolkits send them; --silent never answers. Each conversion
asked of it is printed as "request".
"""

import select
import sys

from Xlib import X, Xatom, display
from Xlib.protocol import event

CHUNK = 64 * 1024


def main():
    title, size, silent = sys.argv[1], int(sys.argv[2]), sys.argv[3:] == ["--silent"]
    text = (b"abcdefghijklmnopqrstuvwxyz\n" * (size // 27 + 1))[:size]
    x = display.Display()
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
    while True:
        if not x.pending_events():
            ready, _, _ = select.select([sys.stdin, x.fileno()], [], [])
            if sys.stdin in ready:
                line = sys.stdin.readline()
                if not line:
                    return 0
                owner.set_selection_owner(Xatom.PRIMARY, X.CurrentTime)
                x.sync()
                print("ok", flush=True)
        while x.pending_events():
            e = x.next_event()
            if e.type == X.SelectionRequest:
                print("request", flush=True)
                if not silent:
                    answer(x, e, text, (utf8, incr, targets), transfers)
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
