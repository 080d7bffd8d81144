"""The PRIMARY selection stands in for applications without accessibility: xterm selected
with the real pointer, the GTK fixture (on the accessibility bus), an X11 owner of known text
(large, or never answering) and a browser started without its accessibility."""

import os
import re
import time

from desktop import CHANGED, CLEARED, Fixture, wait_until

LINE = "The quick brown fox jumps over the lazy dog."
CELL = (6, 13)  # the "fixed" font
BORDER = 2  # xterm's internal border
OWNER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "primary_owner.py")
TK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tk_text.tcl")


def pattern(size):
    return ("abcdefghijklmnopqrstuvwxyz\n" * (size // 27 + 1))[:size]


def verify(suite):
    """Starts monitoring again and returns the trust verification that follows two seconds
    later: it reads the focused element's selected text, after five ticks have."""
    verifications = lambda: [d for d in suite.diagnostics() if d.startswith("🔍AX验证")]
    seen = len(verifications())
    suite.helper.start(1)
    assert wait_until(lambda: len(verifications()) > seen, 10), "no verification"
    return verifications()[-1]


def reads_nothing(suite, what):
    """No selection is reported here, and the verification that follows reads none."""
    mark = len(suite.helper.events())
    verified = verify(suite)
    reported = suite.helper.payloads(CHANGED, mark)
    suite.check(not reported and verified.endswith("text=nil"),
                "%s: %s, %s" % (what, reported, verified))


def xterm_cell(session, xid, column, row):
    info = session.run(["xwininfo", "-id", xid]).decode()
    x = int(re.search(r"Absolute upper-left X:\s+(-?\d+)", info).group(1))
    y = int(re.search(r"Absolute upper-left Y:\s+(-?\d+)", info).group(1))
    return (x + BORDER + column * CELL[0] + CELL[0] // 2,
            y + BORDER + row * CELL[1] + CELL[1] // 2)


def primary(suite):
    session, helper = suite.session, suite.start_helper(1)
    fixture_path = suite.fixture_path
    # Return erases the screen and writes the line again: xterm gives up the selection when
    # its text is erased (keepSelection false). A click would not: the text stays pasteable.
    script = "printf '%s\\n'; read x; printf '\\033[H\\033[2J%s\\n'; exec sleep 100000"
    term = session.spawn(["xterm", "-fn", "fixed", "-geometry", "80x10+40+40", "-T",
                          "primary-xterm", "-xrm", "XTerm*keepSelection: false", "-e", "sh",
                          "-c", script % (LINE, LINE)], "xterm")
    xid = wait_until(lambda: suite.x("search", "--name", "primary-xterm").split(), 30, 0.1)
    assert xid, "xterm never showed"
    xid = xid[0]
    suite.follow(xid, term.pid)

    def drag(first, last):
        start = xterm_cell(session, xid, first, 0)
        end = xterm_cell(session, xid, last + 1, 0)  # xterm selects up to the pointer's cell
        # Slower than xterm's multi-click time: each drag is a single click's.
        suite.x("mousemove", "--sync", *start, "sleep", "0.3", "mousedown", "1")
        suite.x("mousemove", "--sync", (start[0] + end[0]) // 2, end[1])
        suite.x("mousemove", "--sync", *end, "mouseup", "1")
        return end

    # A drag in xterm: the text exactly, the fallback rectangle at the pointer.
    mark = len(helper.events())
    pointer = drag(4, 18)
    payload = helper.selected(mark) or {}
    suite.check(payload.get("text") == "quick brown fox",
                "xterm: the dragged text is reported exactly: %r" % payload.get("text"))
    rect = tuple(payload.get(k) for k in ("x", "y", "w", "h"))
    suite.check(rect == (pointer[0] - 20, pointer[1] - 10, 40, 20),
                "xterm: the rectangle surrounds the pointer at %s: %s" % (pointer, rect))

    # The same start, extended past its first 20 characters: a new selection, though the
    # pointer's rectangle carries no place.
    drag(4, 24)
    assert helper.selected(mark, "quick brown fox jumps"), "xterm: the longer drag"
    mark = len(helper.events())
    drag(4, 29)
    suite.check(helper.selected(mark, "quick brown fox jumps over"),
                "xterm: a selection extended past 20 characters is reported")

    # The selected text erased: xterm gives PRIMARY up, reported as cleared.
    mark = len(helper.events())
    suite.x("key", "Return")
    suite.check(helper.selected(mark, name=CLEARED),
                "xterm: giving the selection up is reported as cleared")

    # Tk keeps PRIMARY while the user selects anew: the release of the double-click is what
    # says so, reported within 300 ms; a click away, where Tk refuses the conversion, clears.
    tk = Fixture(session, ["wish", TK, "primary-tk", LINE], "tk")
    tk.xid = wait_until(lambda: suite.x("search", "--name", "primary-tk").split(), 30, 0.1)[0]
    suite.follow(tk.xid, tk.process.pid)

    def click(index, times):
        x, y = tk.send("where " + index).split()
        suite.x("mousemove", "--sync", x, y, "click", "--repeat", times, "--delay", 80, 1)
        return time.monotonic()

    mark = len(helper.events())
    click("1.6", 2)
    assert helper.selected(mark, "quick"), "Tk: the first double-click, which takes PRIMARY"
    for word, index in (("lazy", "1.37"), ("brown", "1.12")):
        mark = len(helper.events())
        released = click(index, 2)
        found = helper.selected(mark, word, timeout=5)
        late = time.monotonic() - released
        suite.check(found and late <= 0.3,
                    "Tk: a double-click on %r under the same owner, in %.2f s" % (word, late))
    mark = len(helper.events())
    click("1.26", 1)
    suite.check(helper.selected(mark, name=CLEARED, timeout=5), "Tk: a click away clears")
    session.end(tk.process)

    # An application on the accessibility bus is read through accessibility: its bounds.
    gtk = Fixture(session, [fixture_path, "Primary GTK"], "gtk")
    suite.follow(gtk.xid, gtk.process.pid)
    mark = len(helper.events())
    gtk.send("select view 42 57")
    payload = helper.selected(mark) or {}
    suite.check(payload.get("text") == "quick brown fox" and payload.get("w") != 40,
                "GTK: read through accessibility, with its own bounds: %s" % payload)

    # A canvas that draws its own text (AbiWord's document) in a window that shows text
    # elsewhere: its PRIMARY stands in, without the terminating NUL some owners send, and
    # again as the selection grows while the owner keeps PRIMARY.
    gtk.send("focus canvas")
    mark = len(helper.events())
    gtk.send("select canvas 42 47")
    payload = helper.selected(mark) or {}
    suite.check(payload.get("text") == "quick" and payload.get("w") == 40,
                "GTK canvas: its PRIMARY, exactly, at the pointer: %s" % payload)
    mark = len(helper.events())
    gtk.send("select canvas 42 57")
    suite.check(helper.selected(mark, "quick brown fox"),
                "GTK canvas: the selection grown under the same owner is reported")
    # The focus moved inside the window and back: what the canvas set before is no selection
    # made since.
    for command in ("select view 0 0", "focus view", "focus canvas"):
        gtk.send(command)
    reads_nothing(suite, "PRIMARY set before the focus moved is not read after it")

    # The GTK window's PRIMARY is not xterm's selection.
    suite.follow(xid, term.pid)
    reads_nothing(suite, "another application's PRIMARY is not reported for xterm")
    session.end(gtk.process)

    # 5 MB, sent incrementally, arrives whole.
    size = 5 * 1024 * 1024
    big = Fixture(session, ["/usr/bin/python3", OWNER, "primary-big", str(size)], "big")
    suite.follow(big.xid, big.process.pid)
    mark = len(helper.events())
    big.send("own")
    text = (helper.selected(mark, timeout=15) or {}).get("text", "")
    suite.check(text == pattern(size), "5 MB through INCR arrive whole (%d bytes)" % len(text))
    verified = verify(suite)
    suite.check("前台=nil(pid=%d)" % big.process.pid in verified,
                "a window that declares no pid (as Tk's) is its process's: %s" % verified)
    # What an application set while another was in front is no selection made in it: the
    # focus coming to it reports nothing, and converts nothing.
    suite.follow(xid, term.pid)
    big.send("own")
    suite.follow(big.xid, big.process.pid)
    reads_nothing(suite, "PRIMARY set out of front is not reported")
    session.end(big.process)

    # An owner that never answers: one conversion, one time-out, and the helper answers pings
    # meanwhile.
    silent = Fixture(session, ["/usr/bin/python3", OWNER, "primary-silent", "100", "--silent"], "silent")
    suite.follow(silent.xid, silent.process.pid)
    silent.send("own")
    assert wait_until(lambda: "request" in silent.output(), 10), "no conversion was asked for"
    began = time.monotonic()
    out = session.run([helper.ctl, "ping"])
    suite.check(b"pong" in out and time.monotonic() - began < 1.0,
                "a conversion that is never answered does not hold the helper up (%.2f s)" %
                (time.monotonic() - began))
    verify(suite)  # a reading two seconds (five ticks) later
    suite.check(silent.output().count("request") == 1,
                "the silent owner was asked once, not again on every reading (%d)" %
                silent.output().count("request"))
    session.end(silent.process)

    # An answer that comes after its conversion was given up is no answer to the next one:
    # the first ownership's text, answered late, is never taken for the second's.
    late = Fixture(session, ["/usr/bin/python3", OWNER, "primary-late", "100"], "late")
    suite.follow(late.xid, late.process.pid)
    mark = len(helper.events())
    late.send("own 0.5 stale text")
    assert wait_until(lambda: "request" in late.output(), 10), "no conversion was asked for"
    late.send("own 0.9 fresh text")
    helper.selected(mark, "fresh text")
    texts = [p.get("text") for p in helper.payloads(CHANGED, mark)]
    suite.check(texts == ["fresh text"], "a late answer is not taken for the next: %s" % texts)
    session.end(late.process)

    # A browser started as people start it shows accessibility its frames only, each with an
    # empty text: that is no text, so its PRIMARY stands in.
    page = "file://" + os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "compat",
                                    "page.html")
    browser = session.spawn(["chromium", "--no-first-run", "--no-default-browser-check",
                             "--disable-background-networking", "--disable-component-update",
                             "--disable-sync", "--no-sandbox", "--disable-gpu",
                             "--window-position=0,0", "--window-size=900,700",
                             "--user-data-dir=" + os.path.join(session.work, "chromium"), page],
                            "chromium")
    window = wait_until(lambda: suite.x("search", "--name", "Compat page").split(), 60, 0.2)
    assert window, "chromium never showed"
    suite.follow(window[-1], browser.pid)
    suite.x("mousemove", "300", "400", "click", "1")
    mark = len(helper.events())
    suite.x("key", "ctrl+a")
    payload = helper.selected(mark, timeout=15) or {}
    suite.check(payload.get("text", "").startswith("The quick brown fox jumps over the lazy dog.")
                and payload.get("w") == 40 and "hunter2" not in payload.get("text", ""),
                "Chromium without accessibility: a select-all through PRIMARY, no password: %r"
                % payload.get("text", "")[:40])
    # Told once it is on the accessibility bus, which may come after its window.
    notices = lambda: helper.log().count("shows accessibility no page")
    wait_until(notices, 15)
    suite.check(notices() == 1, "and the user is told why, once: %d notices" % notices())
    session.end(browser)

    # And xterm still reads after all of that.
    suite.follow(xid, term.pid)
    mark = len(helper.events())
    drag(0, 8)
    suite.check(helper.selected(mark, "The quick"), "xterm is read again afterwards")

