"""The real helper against real applications on a private desktop: one test per row of APPS
(pytest -k NAME runs one).

Each application is opened with known content and selected with the real pointer and keyboard
(xdotool); each reported selection's text is checked exactly, its rectangle against what the
application's own accessibility reports for those characters, and the clear. One table row per
application goes to the report (--report, default BUILD/compatibility.md; docs/compatibility.md
says what the columns mean and what each application is known to give).
"""

import glob
import json
import os
import shlex
import shutil
import statistics
import subprocess
import time
from dataclasses import dataclass, field

import pytest

from desktop import (CHANGED, CLEARED, CONTENT, Helper, a11y, application, fits, meet, text_of,
                     unite, version, wait_until, walk)

HERE = os.path.dirname(os.path.abspath(__file__))
TEXT = ("The quick brown fox jumps over the lazy dog.\n"
        "Pack my box with five dozen liquor jugs.\n"
        "Sphinx of black quartz, judge my vow.\n")
SECRET = "hunter2secret"
PAGE_ALL = ("The quick brown fox jumps over the lazy dog.\n"
            "Pack my box with five dozen liquor jugs.\n"
            "\u2022 First item\n\u2022 Second item\n"
            "Cell one\tCell two\nCell three\tCell four\n"
            "Text area line one\nsecond line\n"
            "Sphinx of black quartz, judge my vow.")
HEADER = "Compatibility suite, %s, Debian 12, at-spi2-core %s, X11 (Xvfb and openbox).\n\n"


# Longer than the toolkits' double-click time (400 ms in GTK and Qt), and when the last was.
DOUBLE_CLICK = 0.6
DOUBLE_CLICKED = [0.0]


def holding(app, needle, role=None):
    """The first object of that role (none: of the content, not the application's own
    interface) whose own text holds needle, and where."""
    for obj in walk(app):
        name = obj.getRoleName()
        if name != role and (role or name not in CONTENT and not name.startswith(
                ("list item", "table cell", "entry"))):
            continue
        text = text_of(obj)
        content = text.getText(0, -1) if text is not None else ""
        if needle in content:
            return obj, content.index(needle)
    return None


class Window:
    """Where an application's window coordinates start on screen (for toolkits that give
    only those)."""

    def __init__(self, session, xid, frame):
        info = session.run(["xwininfo", "-id", xid]).decode()
        values = dict(line.strip().split(":", 1) for line in info.splitlines() if ":" in line)
        self.x = int(values["Absolute upper-left X"])
        self.y = int(values["Absolute upper-left Y"])
        width, height = int(values["Width"]), int(values["Height"])
        _, _, fw, fh = frame.queryComponent().getExtents(1)
        self.x += (width - fw) // 2
        self.y += (height - fh) // 2

    def box(self, obj, offset):
        x, y, w, h = obj.queryText().getCharacterExtents(offset, a11y().WINDOW_COORDS)
        return x + self.x, y + self.y, w, h


class Grid:
    """Konsole's places: its offsets count every row as wide as the terminal, whatever the row
    shows (its text gives each row's shown part and a line break), and its character boxes are
    relative to the terminal, whatever coordinates are asked for. A drag takes in the cell it
    ends on only once it reaches that cell's right edge."""
    reach = 1

    def __init__(self, app_obj):
        pyatspi = a11y()
        self.terminal = next(o for o in walk(app_obj) if o.getRoleName() == "terminal")
        text = self.terminal.queryText()
        # The first offset on the second row: the first whose box is lower than offset 0's.
        top = text.getCharacterExtents(0, pyatspi.DESKTOP_COORDS)[1]
        low, high = 1, text.characterCount
        while low < high:
            middle = (low + high) // 2
            if text.getCharacterExtents(middle, pyatspi.DESKTOP_COORDS)[1] > top:
                high = middle
            else:
                low = middle + 1
        self.columns = low
        self.x, self.y, _, _ = self.terminal.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)

    def box(self, obj, index):
        """The box of the character at index of the terminal's text."""
        content = obj.queryText().getText(0, -1)
        row, column = content.count("\n", 0, index), index - content.rfind("\n", 0, index) - 1
        x, y, w, h = obj.queryText().getCharacterExtents(row * self.columns + column,
                                                          a11y().DESKTOP_COORDS)
        return x + self.x, y + self.y, w, h


def char_box(obj, offset, window):
    if window is None:
        return obj.queryText().getCharacterExtents(offset, a11y().DESKTOP_COORDS)
    return window.box(obj, offset)


def pointer_rect(session):
    """The fallback rectangle: 40 x 20, centred on the pointer."""
    where = dict(item.split(":") for item in
                 session.run(["xdotool", "getmouselocation"]).decode().split()[:2])
    return int(where["x"]) - 20, int(where["y"]) - 10, 40, 20


def aim(box):
    """Where to point at a character: its middle. KDE's editor gives characters no height, at
    the top of their line: a little below that."""
    x, y, w, h = box
    return x + w // 2, y + (h or 12) // 2


def rect_fits(got, app, window, clip_role):
    """Whether the rectangle is where the application's own answers put the selection, asked
    character by character (not as the helper does it), within the visible document. Returns
    that and the characters' box."""
    pyatspi = a11y()
    clip = next((o.queryComponent().getExtents(pyatspi.DESKTOP_COORDS) for o in walk(app)
                 if o.getRoleName() == clip_role), None) if clip_role else None
    boxes = []
    for obj in walk(app):
        selection = own_selection(obj) if obj.getRoleName() not in ("static", "password text") \
            else None
        content = text_of(obj).getText(*selection) if selection else ""
        for offset, char in zip(range(*selection) if selection else (), content):
            box = char_box(obj, offset, window) if char != "\ufffc" else (0, 0, 0, 0)
            if box[2] > 0 and box[3] >= 0 and (clip is None or meet(box, clip)):
                boxes.append(box)
    total = unite(boxes) if boxes else None
    return fits(got, boxes, clip), meet(total, clip) if total and clip else total


@dataclass
class App:
    name: str  # the row's
    toolkit: str
    command: str  # run in the work folder, {work} and {here} filled in
    title: str  # its window's
    a11y_name: str  # its application's, on the accessibility bus
    steps: list
    package: str = None  # whose version the row shows (default: the name)
    env: dict = field(default_factory=dict)
    # Where its character boxes are relative to: the screen (None), its window ("window"), or
    # Konsole's terminal ("grid").
    place: str = None
    clip_role: str = None  # the visible document, which a rectangle stays within
    unfocused: bool = False  # nothing of its text is ever marked focused
    pointer: bool = False  # its boxes are no place on screen: the fallback at the pointer


def editor_steps(keys=True, double=True, drags=True):
    steps = [("drag", "quick", "fox", "quick brown fox"),
             ("drag", "lazy", "Pack my", "lazy dog.\nPack my")] if drags else []
    if double:
        steps.append(("double", "Sphinx", None, "Sphinx"))
    if keys:
        steps.append(("keys", ["ctrl+Home"] + ["shift+Right"] * 9, None, "The quick"))
        # Two lines grown by one character: the same first 20 characters, the same box.
        steps.append(("keys", ["ctrl+Home", "Down", "End"] + ["Left"] * 5 + ["shift+Right"] * 20,
                      None, "jugs.\nSphinx of blac"))
        steps.append(("keys", ["shift+Right"], None, "jugs.\nSphinx of black"))
    return steps


def web_steps(everything=PAGE_ALL, into_list=True):
    """into_list: a drag may end inside a list item (WebKitGTK counts an item's offsets
    without its marker, so where such a drag ends cannot be checked)."""
    steps = [("drag", "quick", "fox", "quick brown fox"),
             ("drag", "over the", "jugs", "over the lazy dog.\nPack my box with five dozen liquor jugs"),
             ("drag", "lazy", "Second item",
              "lazy dog.\nPack my box with five dozen liquor jugs.\n\u2022 First item\n\u2022 Second item"),
             ("drag", "Pack", "Cell th",
              "Pack my box with five dozen liquor jugs.\n\u2022 First item\n\u2022 Second item\n"
              "Cell one\tCell two\nCell th"),
             ("drag", "area line", "second", "area line one\nsecond"),
             ("all", "Sphinx", None, everything)]
    return steps if into_list else steps[:2] + steps[3:]


def control_steps():
    """A page's search box, then the browser's address bar: neither selection is reported, by
    any source (PRIMARY holds each); a page selection after them still is."""
    return [("ignored", "box words", "search box", "entry"),
            ("ignored", "file", "html", "combo box"),
            ("drag", "quick", "fox", "quick brown fox")]


def own_selection(obj):
    text = text_of(obj)
    try:
        start, end = text.getSelection(0)
        return (start, end) if start != end else None
    except Exception:
        return None


def landed(app_obj, step, window):
    """Whether the application itself shows the selection the step meant to make: it starts
    at the first word and ends after the last one (in a grid, whose offsets are not its
    text's, that there is one)."""
    kind, first, last, expected = step
    if kind in ("keys", "all") or isinstance(window, Grid):
        return has_selection(app_obj)
    if kind == "ignored":
        target = holding(app_obj, first, expected)
        return target is not None and own_selection(target[0]) is not None
    start = holding(app_obj, first)
    end = holding(app_obj, last or first)
    if not start or not end:
        return False
    head, tail = own_selection(start[0]), own_selection(end[0])
    return (head is not None and tail is not None and head[0] == start[1] and
            tail[1] == end[1] + len(last or first))


def settled(app_obj, window):
    """The page or document has stopped moving: a character stays where it was."""
    found = holding(app_obj, "Sphinx")
    if not found:
        return False
    before = char_box(found[0], found[1], window)
    time.sleep(0.2)
    return char_box(found[0], found[1], window) == before


def has_selection(app_obj):
    return any(own_selection(o) for o in walk(app_obj) if text_of(o) is not None)


def perform(session, app_obj, window, step):
    kind, first, last, _ = step
    x = lambda *args: session.run(["xdotool", *map(str, args)])
    if kind == "keys":
        x("key", "--delay", "30", *first)
        return
    find = lambda needle: holding(app_obj, needle, step[3] if kind == "ignored" else None)
    start = find(first)
    assert start, "cannot find %r" % first
    sx, sy, sw, _ = char_box(start[0], start[1], window)
    mx, my = aim((sx, sy, sw, _))
    if kind == "double":
        x("mousemove", "--sync", mx, my)
        x("click", "--repeat", "2", "--delay", "80", "1")
        DOUBLE_CLICKED[0] = time.monotonic()
        return
    # A drag that starts inside a selection would move it: start from none.
    clear(session, app_obj, window)
    wait_until(lambda: not has_selection(app_obj), 5)
    if kind == "all":
        x("mousemove", mx, my, "click", "1")
        x("key", "ctrl+a")
        return
    end = find(last)
    assert end, "cannot find %r" % last
    ex, ey, ew, eh = char_box(end[0], end[1] + len(last) - 1, window)
    ey = aim((ex, ey, ew, eh))[1]
    # At a hand's pace: some views (evince) follow the pointer only when idle.
    x("mousemove", sx + 1, my, "mousedown", "1", "sleep", "0.1",
      "mousemove", (sx + ex) // 2, (my + ey) // 2 + 1, "sleep", "0.1",
      "mousemove", ex + ew - 1 + getattr(window, "reach", 0), ey, "sleep", "0.1", "mouseup", "1")


def clear(session, app_obj, window):
    """A click on a character of the text: the selection goes away. Not so soon after a
    double-click that it makes a triple-click (Konsole then selects the line)."""
    wait_until(lambda: time.monotonic() - DOUBLE_CLICKED[0] > DOUBLE_CLICK, DOUBLE_CLICK, 0.05)
    found = holding(app_obj, "The quick")
    x, y = aim(char_box(found[0], found[1] + 1, window))
    session.run(["xdotool", "mousemove", str(x), str(y), "click", "1"])


def check_app(session, helper, app, failures):
    work = session.work
    argv = shlex.split(app.command.format(work=work, here=HERE))
    process = session.spawn(argv, app.name, env=app.env, cwd=work)
    row = {"app": app.name, "version": version(app.package or app.name), "toolkit": app.toolkit,
           "text": "no", "rect": "no", "clear": "no", "latency": "-"}
    try:
        xid = wait_until(lambda: session.run(["xdotool", "search", "--name", app.title])
                         .split(), 60, 0.2)
        assert xid, "%s: no window titled %r" % (app.name, app.title)
        xid = xid[0].decode()
        app_obj = wait_until(lambda: application(app.a11y_name), 30, 0.2)
        assert app_obj, "%s is not on the accessibility bus (only %s)" % (
            app.name, [a.name for a in a11y().Registry.getDesktop(0) if a is not None])
        session.run(["xdotool", "windowactivate", "--sync", xid])
        assert wait_until(lambda: holding(app_obj, "Sphinx"), 60, 0.5), \
            "%s: the content never showed" % app.name
        pyatspi = a11y()
        focused = lambda: app.unfocused or any(o.getState().contains(pyatspi.STATE_FOCUSED) and text_of(o)
                              for o in walk(app_obj))
        window = app.place
        if app.place == "window":
            frame = next(o for o in walk(app_obj) if o.getRoleName() == "frame")
            window = Window(session, xid, frame)
        elif app.place == "grid":
            window = Grid(app_obj)
        clear(session, app_obj, window)
        assert wait_until(focused, 30, 0.2), "%s: its text never got the focus" % app.name
        texts_ok = rects_ok = True
        latencies = []
        began = len(helper.events())
        ignored = []
        assert wait_until(lambda: settled(app_obj, window), 30), "%s never settled" % app.name
        for step in app.steps:
            for attempt in range(3):
                mark = len(helper.events())
                perform(session, app_obj, window, step)
                done = time.monotonic()
                # The report is awaited before the gesture is checked: walking a large tree
                # (LibreOffice's) takes longer than the helper does.
                payload = helper.selected(mark, step[3], 5) if step[0] != "ignored" else None
                latency = time.monotonic() - done
                if payload or wait_until(lambda: landed(app_obj, step, window), 5, 0.1):
                    break
            else:
                failures.append("%s %s: the gesture never made that selection (%s)" % (
                    app.name, step[:3], [(o.getRoleName(), own_selection(o)) for o in
                                         walk(app_obj) if text_of(o) and own_selection(o)]))
                texts_ok = rects_ok = False
                continue
            if step[0] == "ignored":
                ignored.append(text_of(holding(app_obj, step[1], step[3])[0]).getText(0, -1))
                continue
            if payload is None:  # the gesture landed, the report is still awaited
                payload = helper.selected(mark, step[3], 5)
                latency = time.monotonic() - done
            if payload is None:
                failures.append("%s %s: not reported as %r (%s)" % (
                    app.name, step[:3], step[3], helper.payloads(CHANGED, mark)[-1:]))
                texts_ok = rects_ok = False
                continue
            latencies.append(latency)
            got = (payload["x"], payload["y"], payload["w"], payload["h"])
            placed, want = (got == pointer_rect(session), pointer_rect(session)) if app.pointer \
                else rect_fits(got, app_obj, window, app.clip_role)
            if not placed:
                failures.append("%s %s: rectangle %s, wanted about %s" %
                                (app.name, step[:3], got, want))
                rects_ok = False
        leaked = [p["text"] for p in helper.payloads(CHANGED, began)
                  if any(p["text"] in whole for whole in ignored)]
        if leaked:
            failures.append("%s: an excluded control's selection was reported: %r" % (
                app.name, leaked))
            texts_ok = False
        mark = len(helper.events())
        clear(session, app_obj, window)
        cleared = helper.selected(mark, name=CLEARED)
        if cleared is None:
            failures.append("%s: the clear was not reported" % app.name)
        row.update(text="yes" if texts_ok else "no",
                   rect=("pointer" if app.pointer else "yes") if rects_ok else "no",
                   clear="yes" if cleared else "no",
                   latency="%d ms" % (statistics.median(latencies) * 1000) if latencies else "-")
    except AssertionError as error:
        failures.append(str(error))
    finally:
        session.end(process)
    return row


# FeatherPad's gestures, then the editors' two-line selection grown by one character.
QT = [("drag", "quick", "fox", "quick brown fox"), ("double", "jumps", None, "jumps"),
      ("keys", ["ctrl+Home", "Down", "End", "shift+Up", "shift+Home"], None,
       "\n".join(TEXT.split("\n")[:2]))] + editor_steps(double=False, drags=False)[1:]
SHOWN = "sh -c 'cat compat.txt; exec sleep 100000'"
CHROMIUM = ("chromium --no-first-run --no-default-browser-check --disable-background-networking "
            "--disable-component-update --disable-sync --no-sandbox --disable-gpu "
            "--force-renderer-accessibility --window-position=0,0 --window-size=1000,800 "
            "--user-data-dir={work}/chromium file://{work}/page.html")
FIREFOX = "firefox-esr --no-remote --profile {work}/firefox file://{work}/"
EPIPHANY = "epiphany --private-instance file://{work}/page.html"
# WebKitGTK leaves the textarea out of select-all, and its list items' offsets leave their
# markers out: no drag ends in one.
WEBKIT = web_steps(PAGE_ALL.replace("Text area line one\nsecond line\n", ""), into_list=False)
SWING = ("java -cp /usr/share/java/java-atk-wrapper.jar "
         "-Djava.library.path=/usr/lib/x86_64-linux-gnu/jni "
         "-Djavax.accessibility.assistive_technologies=org.GNOME.Accessibility.AtkWrapper "
         "{here}/SwingArea.java compat.txt")
LIBREOFFICE = ("soffice --nologo --norestore --nofirststartwizard "
               "-env:UserInstallation=file://{work}/lo --writer compat.fodt")
APPS = [
    App("gedit", "GTK 3", "gedit --standalone compat.txt", "compat.txt", "gedit",
        editor_steps()),
    App("mousepad", "GTK 3", "mousepad compat.txt", "compat.txt", "mousepad", editor_steps()),
    App("geany", "GTK 3 (Scintilla)", "geany -i -c geany-config compat.txt", "compat.txt",
        "geany", editor_steps()),
    App("gnome-text-editor", "GTK 4", "gnome-text-editor --standalone compat.txt", "compat.txt",
        "gnome-text-editor", editor_steps(), place="window"),
    App("featherpad", "Qt 5", "featherpad compat.txt", "compat.txt", "featherpad", QT),
    App("qt6", "Qt 6 (PyQt6)", "/usr/bin/python3 {here}/qt6_area.py compat.txt", "Qt6 compat",
        "qt6-compat", QT, package="python3-pyqt6"),
    App("xfce4-terminal", "VTE (GTK 3)", "xfce4-terminal --disable-server --title "
        "compat-terminal -x " + SHOWN, "compat-terminal", "xfce4-terminal",
        editor_steps(keys=False, double=False)),
    App("konsole", "Qt 5 (Konsole)", "konsole --separate -e " + SHOWN, "Konsole", "konsole",
        editor_steps(keys=False), place="grid", pointer=True),
    App("kate", "KDE Frameworks 5 (KTextEditor)", "kate -n compat.txt", "compat.txt", "kate",
        editor_steps(double=False, drags=False)),
    App("swing", "Java Swing (ATK wrapper)", SWING, "Swing compat", "Swing compat",
        editor_steps(), package="libatk-wrapper-java"),
    App("evince", "GTK 3 (PDF)", "evince pages.pdf", "pages.pdf", "evince",
        editor_steps(keys=False) + [("drag", "Pack", "Sphinx",
                                     "Pack my box with five dozen liquor jugs.\nSphinx")],
        clip_role="document frame"),
    App("chromium", "Chromium (web page)", CHROMIUM, "Compat page", "chromium", web_steps(),
        clip_role="document web"),
    App("firefox-esr", "Firefox (web page)", FIREFOX + "page.html", "Compat page", "firefox",
        web_steps(), clip_role="document web"),
    App("epiphany-browser", "WebKitGTK (GNOME Web)", EPIPHANY, "Compat page", "epiphany",
        WEBKIT, clip_role="document web", unfocused=True),
    App("epiphany-browser-unsandboxed", "WebKitGTK (GNOME Web, no sandbox)", EPIPHANY,
        "Compat page", "epiphany", WEBKIT, package="epiphany-browser",
        env={"WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS": "1"}, clip_role="document web",
        unfocused=True),
    App("yelp", "WebKitGTK (Yelp)", "yelp {work}/help", "Help", "yelp", editor_steps(keys=False),
        clip_role="document web", unfocused=True),
    App("firefox-esr-controls", "Firefox (search box, address bar)", FIREFOX + "search.html",
        "Search page", "firefox", control_steps(), package="firefox-esr",
        clip_role="document web"),
    App("libreoffice-writer", "LibreOffice (VCL gtk3)", LIBREOFFICE, "compat.fodt", "soffice",
        [("drag", "quick", "fox", "quick brown fox"),
         ("drag", "lazy", "Sphinx", "lazy dog.\nPack my box with five dozen liquor jugs.\nSphinx"),
         ("double", "Pack", None, "Pack")], env={"SAL_USE_VCLPLUGIN": "gtk3"},
        clip_role="document text"),
]


@pytest.fixture(scope="module")
def rows(build, request):
    """The report's rows, written once every application has had its turn."""
    written = []
    yield written
    report = request.config.getoption("--report") or os.path.join(build, "compatibility.md")
    with open(report, "w") as out:
        out.write(HEADER % (time.strftime("%Y-%m-%d"), version("at-spi2-core")))
        out.write("| application | version | toolkit | text | rectangle | clear | latency |\n"
                  "|---|---|---|---|---|---|---|\n")
        for row in written:
            out.write("| {app} | {version} | {toolkit} | {text} | {rect} | {clear} | {latency} "
                      "|\n".format(**row))


@pytest.fixture(scope="module")
def helper(shared_session, build):
    """The helper, monitoring, on a desktop that holds the applications' documents."""
    work = shared_session.work
    with open(os.path.join(work, "compat.txt"), "w") as f:
        f.write(TEXT)
    for name in ("page.html", "search.html", "user.js"):
        shutil.copy(os.path.join(HERE, name), work)
    os.makedirs(os.path.join(work, "firefox"))
    os.rename(os.path.join(work, "user.js"), os.path.join(work, "firefox", "user.js"))
    os.makedirs(os.path.join(work, "help"))  # Yelp shows a folder's index.page
    shutil.copy(os.path.join(HERE, "help.page"), os.path.join(work, "help", "index.page"))
    shutil.copy(os.path.join(HERE, "document.fodt"), os.path.join(work, "compat.fodt"))
    # The same text as a PDF of two small pages, both on screen: the last line on the second.
    subprocess.run(["soffice", "-env:UserInstallation=file://" + os.path.join(work, "pdf"),
                    "--headless", "--convert-to", "pdf", os.path.join(HERE, "pages.fodt")],
                   cwd=work, capture_output=True, timeout=120, check=True)
    # LibreOffice leaves its pipe in /tmp whatever TMPDIR says, when it is ended.
    pipes = set(glob.glob("/tmp/OSL_PIPE_*"))
    yield Helper(shared_session, os.path.join(build, "glimwick"),
                 os.path.join(build, "glimwick-ctl"))
    for pipe in set(glob.glob("/tmp/OSL_PIPE_*")) - pipes:
        os.remove(pipe)


@pytest.mark.parametrize("app", APPS, ids=lambda app: app.name)
def test_application(app, helper, rows):
    failures = []
    rows.append(check_app(helper.session, helper, app, failures))
    print("   ", rows[-1], flush=True)
    if SECRET in helper.log() or SECRET in json.dumps(helper.events()):
        failures.append("the password field's text left the helper")
    assert not failures, "\n".join(failures)
