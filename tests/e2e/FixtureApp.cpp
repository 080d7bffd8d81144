// A GTK 3 window with known text for the end-to-end tests: a multi-line text view, an entry in
// a tool bar, an entry in a plain box, a password entry, and a canvas that shows accessibility
// no text (as AbiWord's document). It takes commands on stdin, one per line, and answers each
// with "ok" (or "error ...") on stdout:
//   focus NAME | select NAME START END | register
// Selecting in the canvas serves that part of the view's text as PRIMARY, with a terminating
// NUL (as AbiWord); the canvas keeps PRIMARY while its selection changes (as GTK's views).
// On start it prints "ready XID" with the X window id of its window (0 under Wayland). After
// the title: --caret-only, the text view announces only that the caret moved (as KDE's
// editor does); --selection-only, only that the selection changed; --late-extents, a new
// selection's first measure is empty (as Firefox's on Wayland); --no-range-extents, it gives ranges
// no size, as toolkits do that measure characters only; --unmeasured-range, a box of negative size
// for every range (as Swing's HTML documents); --late-accessibility (with NO_AT_BRIDGE=1 in its
// environment), it joins the accessibility bus only on "register";
// --select-when-active, "jumps" is selected the moment the window is first active;
// --embedded N, the view ends in a line of N labels ("item K of TITLE"), each an object
// embedded in its text (as a web page's), which a selection across them is read through;
// --lag MS (also after --embedded N), every call is answered MS milliseconds late.

#include <atk-bridge.h>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

// tests/e2e/test_scenarios.py knows the view's text.
constexpr const char* kViewText =
    "Glimwick watches the text you select.\n"
    "The quick brown fox jumps over the lazy dog.\n"
    "选区文本 and emoji 👍🏽 live here too.\n"
    "Last line of the view.";
constexpr const char* kToolbarText = "https://example.org/address-bar";
constexpr const char* kBoxText = "an entry inside a plain box";
constexpr const char* kPasswordText = "hunter2-secret-password";

struct Fixture {
    GtkWidget* window = nullptr;
    std::map<std::string, GtkWidget*> widgets;
    std::string announces;  // the one event a selection in the view sends, when set
    std::string canvasSelection;
    bool ownsPrimary = false;
};

// A new selection's first measure is empty, the next ones right (as Firefox's on Wayland).
using RangeExtents = void (*)(AtkText*, gint, gint, AtkCoordType, AtkTextRectangle*);
RangeExtents trueRange = nullptr;
bool measured = true;
void lateRange(AtkText* text, gint start, gint end, AtkCoordType coords, AtkTextRectangle* rect) {
    if (!measured) {
        measured = true;
        *rect = AtkTextRectangle{};
        return;
    }
    trueRange(text, start, end, coords, rect);
}

void name(GtkWidget* widget, const char* accessibleName, Fixture& fixture) {
    atk_object_set_name(gtk_widget_get_accessible(widget), accessibleName);
    fixture.widgets[accessibleName] = widget;
}

void reply(const std::string& text) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

void selectInCanvas(Fixture& fixture, int start, int end) {
    fixture.canvasSelection = std::string(kViewText).substr(start, end - start);
    if (fixture.ownsPrimary) {
        return;  // asked for its text on each conversion
    }
    static const GtkTargetEntry kTargets[] = {{const_cast<gchar*>("UTF8_STRING"), 0, 0}};
    fixture.ownsPrimary = gtk_clipboard_set_with_owner(
        gtk_clipboard_get(GDK_SELECTION_PRIMARY), kTargets, 1,
        [](GtkClipboard*, GtkSelectionData* data, guint, gpointer owner) {
            const std::string& text =
                static_cast<Fixture*>(g_object_get_data(G_OBJECT(owner), "fixture"))
                    ->canvasSelection;
            gtk_selection_data_set(data, gtk_selection_data_get_target(data), 8,
                                   reinterpret_cast<const guchar*>(text.c_str()),
                                   static_cast<gint>(text.size() + 1));
        },
        [](GtkClipboard*, gpointer owner) {
            static_cast<Fixture*>(g_object_get_data(G_OBJECT(owner), "fixture"))->ownsPrimary =
                false;
        },
        G_OBJECT(fixture.widgets["canvas"]));
}

std::string run(Fixture& fixture, const std::string& line) {
    std::istringstream in(line);
    std::string verb;
    std::string target;
    in >> verb >> target;
    if (verb == "register") {
        g_unsetenv("NO_AT_BRIDGE");  // the bridge heeds it too
        return atk_bridge_adaptor_init(nullptr, nullptr) == 0 ? "ok" : "error no bridge";
    }
    auto found = fixture.widgets.find(target);
    if (found == fixture.widgets.end()) {
        return "error unknown widget " + target;
    }
    GtkWidget* widget = found->second;
    if (verb == "focus") {
        gtk_widget_grab_focus(widget);
        return "ok";
    }
    int start = 0;
    int end = 0;
    if (verb != "select" || !(in >> start >> end)) {
        return "error unknown command " + line;
    }
    if (GTK_IS_DRAWING_AREA(widget)) {
        selectInCanvas(fixture, start, end);
    } else if (GTK_IS_TEXT_VIEW(widget)) {
        GtkTextBuffer* buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(widget));
        GtkTextIter from;
        GtkTextIter to;
        gtk_text_buffer_get_iter_at_offset(buffer, &from, start);
        gtk_text_buffer_get_iter_at_offset(buffer, &to, end);
        gtk_text_buffer_select_range(buffer, &from, &to);
        measured = false;
        if (fixture.announces == "caret") {
            g_signal_emit_by_name(gtk_widget_get_accessible(widget), "text-caret-moved", end);
        } else if (fixture.announces == "selection") {
            g_signal_emit_by_name(gtk_widget_get_accessible(widget), "text-selection-changed");
        }
    } else {
        gtk_editable_select_region(GTK_EDITABLE(widget), start, end);
    }
    return "ok";
}

gboolean onInput(GIOChannel* channel, GIOCondition condition, gpointer data) {
    auto* fixture = static_cast<Fixture*>(data);
    if ((condition & (G_IO_HUP | G_IO_ERR)) != 0 && (condition & G_IO_IN) == 0) {
        gtk_main_quit();
        return G_SOURCE_REMOVE;
    }
    gchar* raw = nullptr;
    gsize length = 0;
    GIOStatus status = g_io_channel_read_line(channel, &raw, &length, nullptr, nullptr);
    if (status == G_IO_STATUS_EOF) {
        gtk_main_quit();
        return G_SOURCE_REMOVE;
    }
    if (raw != nullptr) {
        std::string line(raw);
        g_free(raw);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.pop_back();
        }
        if (!line.empty()) {
            reply(run(*fixture, line));
        }
    }
    return G_SOURCE_CONTINUE;
}

gboolean announce(gpointer data) {
    auto* fixture = static_cast<Fixture*>(data);
    GdkWindow* window = gtk_widget_get_window(fixture->window);
    reply("ready " +
          std::to_string(GDK_IS_X11_WINDOW(window) ? gdk_x11_window_get_xid(window) : 0));
    return G_SOURCE_REMOVE;
}

// With --embedded the view's text ends in a line of object replacement characters (U+FFFC),
// each standing for an item given as the view's child in the text's order, as a web page's
// embedded objects are: labels of their own, outside any container (GTK would lay thousands
// of them out one by one).
std::vector<GtkWidget*> items;

void addItems(GtkWidget* view, int count, const std::string& title) {
    if (count <= 0) {
        return;
    }
    std::string line = "\nItems:";
    for (int i = 0; i < count; ++i) {
        line += " \uFFFC";
        std::string item = "item " + std::to_string(i) + " of " + title;
        items.push_back(GTK_WIDGET(g_object_ref_sink(gtk_label_new(item.c_str()))));
    }
    line += " end.";
    GtkTextBuffer* buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(view));
    GtkTextIter end;
    gtk_text_buffer_get_end_iter(buffer, &end);
    gtk_text_buffer_insert(buffer, &end, line.c_str(), -1);
}

AtkObject* itemAt(AtkObject*, gint i) {
    return i >= 0 && i < static_cast<gint>(items.size())
               ? ATK_OBJECT(g_object_ref(gtk_widget_get_accessible(items[i])))
               : nullptr;
}

gint itemCount(AtkObject*) {
    return static_cast<gint>(items.size());
}

void sizelessRange(AtkText*, gint, gint, AtkCoordType, AtkTextRectangle* rect) {
    *rect = AtkTextRectangle{};
}

// Near the widget's own origin, whatever the coordinates asked for (as Konsole's).
void widgetRange(AtkText*, gint, gint, AtkCoordType, AtkTextRectangle* rect) {
    *rect = AtkTextRectangle{2, 2, 50, 17};
}

void unmeasuredRange(AtkText*, gint, gint, AtkCoordType, AtkTextRectangle* rect) {
    *rect = AtkTextRectangle{-1, -1, -1, -1};
}

}  // namespace

int main(int argc, char** argv) {
    const char* title = argc > 1 ? argv[1] : "Glimwick Fixture";
    g_set_prgname("glimwick-fixture");
    g_set_application_name(title);
    gtk_init(&argc, &argv);

    Fixture fixture;
    fixture.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(fixture.window), title);
    gtk_window_set_default_size(GTK_WINDOW(fixture.window), 640, 420);
    g_signal_connect(fixture.window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);

    GtkWidget* column = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
    gtk_container_add(GTK_CONTAINER(fixture.window), column);

    GtkWidget* toolbar = gtk_toolbar_new();
    GtkToolItem* item = gtk_tool_item_new();
    gtk_tool_item_set_expand(item, TRUE);
    GtkWidget* address = gtk_entry_new();
    gtk_entry_set_text(GTK_ENTRY(address), kToolbarText);
    gtk_container_add(GTK_CONTAINER(item), address);
    gtk_toolbar_insert(GTK_TOOLBAR(toolbar), item, -1);
    gtk_box_pack_start(GTK_BOX(column), toolbar, FALSE, FALSE, 0);
    name(address, "toolbar-entry", fixture);

    GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
    GtkWidget* boxed = gtk_entry_new();
    gtk_entry_set_text(GTK_ENTRY(boxed), kBoxText);
    gtk_box_pack_start(GTK_BOX(row), boxed, TRUE, TRUE, 0);
    GtkWidget* password = gtk_entry_new();
    gtk_entry_set_visibility(GTK_ENTRY(password), FALSE);
    gtk_entry_set_text(GTK_ENTRY(password), kPasswordText);
    gtk_box_pack_start(GTK_BOX(row), password, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(column), row, FALSE, FALSE, 0);
    name(boxed, "box-entry", fixture);
    name(password, "password-entry", fixture);

    std::string mode = argc > 2 ? argv[2] : "";
    int embedded = 0;
    int lagMs = 0;
    for (int i = 2; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--embedded") {
            embedded = std::atoi(argv[i + 1]);
        } else if (std::string(argv[i]) == "--lag") {
            lagMs = std::atoi(argv[i + 1]);
        }
    }

    GtkWidget* scroller = gtk_scrolled_window_new(nullptr, nullptr);
    GtkWidget* view = gtk_text_view_new();
    gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(view), GTK_WRAP_WORD);
    gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(view)), kViewText, -1);
    addItems(view, embedded, title);
    gtk_container_add(GTK_CONTAINER(scroller), view);
    gtk_box_pack_start(GTK_BOX(column), scroller, TRUE, TRUE, 0);
    name(view, "view", fixture);

    GtkWidget* canvas = gtk_drawing_area_new();
    gtk_widget_set_size_request(canvas, -1, 24);
    gtk_widget_set_can_focus(canvas, TRUE);
    g_object_set_data(G_OBJECT(canvas), "fixture", &fixture);
    gtk_box_pack_start(GTK_BOX(column), canvas, FALSE, FALSE, 0);
    name(canvas, "canvas", fixture);

    if (lagMs > 0) {
        g_idle_add(
            [](gpointer ms) -> gboolean {
                g_usleep(static_cast<gulong>(GPOINTER_TO_INT(ms)) * 1000);
                return G_SOURCE_CONTINUE;
            },
            GINT_TO_POINTER(lagMs));
    }
    if (embedded > 0) {
        auto* objectClass = ATK_OBJECT_GET_CLASS(gtk_widget_get_accessible(view));
        objectClass->ref_child = &itemAt;
        objectClass->get_n_children = &itemCount;
    }
    const std::map<std::string, RangeExtents> patched = {{"--no-range-extents", &sizelessRange},
                                                         {"--widget-extents", &widgetRange},
                                                         {"--unmeasured-range", &unmeasuredRange}};
    if (auto found = patched.find(mode); found != patched.end()) {
        auto* text = static_cast<AtkTextIface*>(g_type_interface_peek(
            G_OBJECT_GET_CLASS(gtk_widget_get_accessible(view)), ATK_TYPE_TEXT));
        text->get_range_extents = found->second;
    }
    if (mode == "--late-extents") {
        auto* text = static_cast<AtkTextIface*>(g_type_interface_peek(
            G_OBJECT_GET_CLASS(gtk_widget_get_accessible(view)), ATK_TYPE_TEXT));
        trueRange = text->get_range_extents;
        text->get_range_extents = &lateRange;
    }
    if (mode == "--caret-only" || mode == "--selection-only") {
        fixture.announces = mode.substr(2, mode.find('-', 2) - 2);
        // The view's accessible follows the buffer through these handlers; blocked, it stays
        // readable but says nothing.
        g_signal_handlers_block_matched(gtk_text_view_get_buffer(GTK_TEXT_VIEW(view)),
                                        G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr,
                                        gtk_widget_get_accessible(view));
    }

    if (mode == "--select-when-active") {
        g_signal_connect(
            fixture.window, "notify::is-active",
            G_CALLBACK(+[](GtkWindow* window, GParamSpec*, GtkWidget* view) {
                GtkTextBuffer* buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(view));
                if (!gtk_window_is_active(window) || gtk_text_buffer_get_has_selection(buffer)) {
                    return;
                }
                GtkTextIter from;
                GtkTextIter to;
                gtk_text_buffer_get_iter_at_offset(buffer, &from, 58);
                gtk_text_buffer_get_iter_at_offset(buffer, &to, 63);
                gtk_text_buffer_select_range(buffer, &from, &to);
            }),
            view);
    }

    gtk_widget_show_all(fixture.window);
    gtk_widget_grab_focus(view);

    GIOChannel* input = g_io_channel_unix_new(0);
    g_io_add_watch(input, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), &onInput,
                   &fixture);
    g_idle_add(&announce, &fixture);
    gtk_main();
    g_io_channel_unref(input);
    return 0;
}
