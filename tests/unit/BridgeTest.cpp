// The bridge's translations as the selection logic relies on them: the role table (the
// search-box rule matches entries and combo boxes inside tool bars and groups, a password is
// never read, what draws its own text), what a failed call means, and what a page's objects
// read together may answer.

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <thread>

#include "platform/linux/AtspiBatch.h"
#include "platform/linux/AtspiCalls.h"
#include "platform/linux/AtspiRoles.h"
#include "platform/linux/EventHeld.h"
#include "platform/linux/Kept.h"
#include "platform/linux/PrimarySelection.h"

namespace glimwick::os {
namespace {

TEST(Roles, TheNamesAndKindsTheExclusionPasswordParagraphAndPrimaryRulesDependOn) {
    struct Case {
        AtspiRole role;
        bool multiLine;
        const char* name;
    };
    for (const Case& c : std::initializer_list<Case>{
             {ATSPI_ROLE_ENTRY, false, "AXTextField"},
             {ATSPI_ROLE_ENTRY, true, "AXTextArea"},  // a page's <textarea>, often in a group
             {ATSPI_ROLE_TEXT, false, "AXTextField"},
             {ATSPI_ROLE_TEXT, true, "AXTextArea"},
             {ATSPI_ROLE_COMBO_BOX, false, "AXComboBox"},
             {ATSPI_ROLE_TOOL_BAR, false, "AXToolbar"},
             {ATSPI_ROLE_PANEL, false, "AXGroup"},
             {ATSPI_ROLE_FILLER, false, "AXGroup"},
             {ATSPI_ROLE_LANDMARK, false, "AXGroup"},  // a page's search form
         }) {
        EXPECT_STREQ(axRoleName(c.role, c.multiLine), c.name) << c.role;
    }
    EXPECT_TRUE(isSecret(ATSPI_ROLE_PASSWORD_TEXT));
    EXPECT_TRUE(isSecret(std::nullopt)) << "a role that cannot be read may be a password";
    EXPECT_FALSE(isSecret(ATSPI_ROLE_ENTRY));
    EXPECT_FALSE(isSecret(ATSPI_ROLE_TEXT));
    // Paragraphs beside a selection's edge join it in a document whatever they are, and in a
    // text shape or table cell (LibreOffice's) only among paragraphs.
    EXPECT_TRUE(holdsParagraphs(ATSPI_ROLE_DOCUMENT_FRAME, ATSPI_ROLE_PAGE));
    EXPECT_TRUE(holdsParagraphs(ATSPI_ROLE_PANEL, ATSPI_ROLE_PARAGRAPH));
    EXPECT_TRUE(holdsParagraphs(ATSPI_ROLE_TABLE_CELL, ATSPI_ROLE_PARAGRAPH));
    EXPECT_FALSE(holdsParagraphs(ATSPI_ROLE_PANEL, ATSPI_ROLE_ENTRY));
    EXPECT_FALSE(holdsParagraphs(ATSPI_ROLE_FILLER, ATSPI_ROLE_PARAGRAPH));
    // What draws its own text, where PRIMARY may stand in: AbiWord's document, GTK 4's VTE (a
    // generic object without children); not a container, not a control with its own label.
    int asked = 0;
    auto children = [&](bool has) {
        return [&asked, has] {
            ++asked;
            return has;
        };
    };
    EXPECT_TRUE(drawsOwnText(ATSPI_ROLE_DRAWING_AREA, children(true)));
    EXPECT_TRUE(drawsOwnText(ATSPI_ROLE_TERMINAL, children(true)));
    EXPECT_EQ(asked, 0) << "children are asked only of generic objects";
    EXPECT_TRUE(drawsOwnText(ATSPI_ROLE_FILLER, children(false)));
    EXPECT_FALSE(drawsOwnText(ATSPI_ROLE_FILLER, children(true)));
    EXPECT_FALSE(drawsOwnText(ATSPI_ROLE_PANEL, children(false)));
    EXPECT_FALSE(drawsOwnText(ATSPI_ROLE_PUSH_BUTTON, children(false)));
}

// What the desktop's primary selection holds counts only as the selection of the process that
// set it in front, while neither the front window nor the focus has moved.
TEST(Primary, CountsOnlyWhatTheFrontProcessSetSinceTheFocusLastMoved) {
    struct Case {
        const char* what;
        Pid owner;
        std::optional<Pid> front;
        bool focusMoved;
        std::uint64_t generationAsked;
        Pid asked;
        bool counts;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"set in front", 5, 5, false, 1, 5, true},
             {"another process's", 5, 5, false, 1, 6, false},
             {"set in the background", 6, 5, false, 1, 6, false},
             {"set in the background, asked for the front", 6, 5, false, 1, 5, false},
             {"set before the front window changed", 5, 5, false, 2, 5, false},
             {"set before the focus moved", 5, 5, true, 1, 5, false},
             {"no front known", 5, std::nullopt, false, 1, 5, false},
             {"unknown owner, unknown front", 0, 0, false, 1, 0, false},
         }) {
        PrimaryClaim claim;
        claim.set(c.owner, c.front, 1);
        if (c.focusMoved) {
            claim.focusMoved();
        }
        EXPECT_EQ(claim.counts(c.asked, c.generationAsked), c.counts) << c.what;
    }
}

// A kept answer is asked again once an event says it changed, or its lifetime is over.
TEST(Bridge, AKeptAnswerEndsWithTheNextEventOrItsLifetime) {
    Kept kept = Kept::of(3, 100, 50);
    Kept forever{3, G_MAXINT64};
    struct Case {
        const Kept& kept;
        std::uint64_t heard;
        gint64 now;
        bool holds;
    };
    for (const Case& c : std::initializer_list<Case>{{kept, 3, 149, true},
                                                     {kept, 4, 101, false},
                                                     {kept, 3, 150, false},
                                                     {forever, 3, G_MAXINT64 - 1, true},
                                                     {forever, 4, 101, false}}) {
        EXPECT_EQ(c.kept.holds(c.heard, c.now), c.holds) << c.heard << " at " << c.now;
    }
}

// A focus or window event handled in the middle of a call replaces what the caller asked
// about: the caller's object must outlive that.
TEST(Bridge, AnObjectAnEventReplacesLivesOnForWhoeverHoldsIt) {
    EventHeld held;
    held.set(nullptr);
    EXPECT_FALSE(held);
    {
        GObjectPtr<AtspiAccessible> made(
            ATSPI_ACCESSIBLE(g_object_new(ATSPI_TYPE_ACCESSIBLE, nullptr)));
        held.set(made.get());
    }
    bool freed = false;
    GObjectPtr<AtspiAccessible> mine = held.get();
    g_object_weak_ref(
        G_OBJECT(mine.get()), [](gpointer flag, GObject*) { *static_cast<bool*>(flag) = true; },
        &freed);
    held.set(nullptr);  // the handler, run inside the caller's call
    EXPECT_FALSE(freed) << "the caller's object was freed under it";
    EXPECT_FALSE(held.is(mine.get()));
    mine.reset();
    EXPECT_TRUE(freed) << "nothing else keeps it";
}

TEST(Bridge, AFailedCallIsClassifiedByItsCodeNotItsMessage) {
    auto code = [](const char* domain, int value, const char* message) {
        GErrorPtr error(g_error_new_literal(g_quark_from_string(domain), value, message));
        return axErrorFor(error.get());
    };
    EXPECT_EQ(axErrorFor(nullptr), ax::kAXErrorSuccess);
    EXPECT_EQ(code("atspi_error", 0, "The application no longer exists"),
              ax::kAXErrorInvalidUIElement);
    EXPECT_EQ(code("atspi_error", 1, "org.freedesktop.DBus.Error.UnknownObject"),
              ax::kAXErrorCannotComplete);
    EXPECT_EQ(code("g-io-error-quark", 0, "gone"), ax::kAXErrorCannotComplete);
}

// An application on a connection of its own, answering from a table by object and method; a
// request it has no answer for is never answered.
class FakeApplication {
public:
    explicit FakeApplication(const std::map<std::string, GVariant*>& answers) {
        for (auto& [key, value] : answers) {
            answers_.emplace(key, GVariantPtr(g_variant_ref_sink(value)));
        }
        std::mutex ready;
        ready.lock();
        thread_ = std::thread([this, &ready] {
            g_main_context_push_thread_default(context_);
            GCharPtr guid(g_dbus_generate_guid());
            server_.reset(g_dbus_server_new_sync("unix:tmpdir=/tmp", G_DBUS_SERVER_FLAGS_NONE,
                                                 guid.get(), nullptr, nullptr, nullptr));
            g_signal_connect(server_.get(), "new-connection", G_CALLBACK(&accept), this);
            g_dbus_server_start(server_.get());
            ready.unlock();
            g_main_loop_run(loop_);
            g_main_context_pop_thread_default(context_);
        });
        std::lock_guard wait(ready);
    }
    ~FakeApplication() {
        g_main_loop_quit(loop_);
        thread_.join();
        connections_.clear();
        server_.reset();
        g_main_loop_unref(loop_);
        g_main_context_unref(context_);
    }
    const char* address() const { return g_dbus_server_get_client_address(server_.get()); }
    std::vector<std::string> asked() {
        std::lock_guard lock(mutex_);
        return asked_;
    }

private:
    static gboolean accept(GDBusServer*, GDBusConnection* connection, FakeApplication* self) {
        self->connections_.emplace_back(G_DBUS_CONNECTION(g_object_ref(connection)));
        g_dbus_connection_add_filter(connection, &answer, self, nullptr);
        return TRUE;
    }
    static GDBusMessage* answer(GDBusConnection* connection, GDBusMessage* message,
                                gboolean incoming, gpointer data) {
        auto* self = static_cast<FakeApplication*>(data);
        if (!incoming ||
            g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_METHOD_CALL) {
            return message;
        }
        GVariant* body = g_dbus_message_get_body(message);
        GCharPtr arguments(body != nullptr ? g_variant_print(body, FALSE) : g_strdup("()"));
        std::string key = std::string(g_dbus_message_get_path(message)) + ' ' +
                          g_dbus_message_get_member(message) + arguments.get();
        std::lock_guard lock(self->mutex_);
        self->asked_.push_back(key);
        if (auto found = self->answers_.find(key); found != self->answers_.end()) {
            GObjectPtr<GDBusMessage> reply(g_dbus_message_new_method_reply(message));
            g_dbus_message_set_body(reply.get(), found->second.get());
            g_dbus_connection_send_message(connection, reply.get(), G_DBUS_SEND_MESSAGE_FLAGS_NONE,
                                           nullptr, nullptr);
        }
        g_object_unref(message);
        return nullptr;
    }

    GMainContext* context_ = g_main_context_new();
    GMainLoop* loop_ = g_main_loop_new(context_, FALSE);
    std::thread thread_;
    GObjectPtr<GDBusServer> server_;
    std::vector<GObjectPtr<GDBusConnection>> connections_;
    std::mutex mutex_;
    std::map<std::string, GVariantPtr> answers_;
    std::vector<std::string> asked_;
};

TEST(Bridge, APageReadTogetherSurvivesBadNamesPasswordsFramesAndSilence) {
    const char* me = ":1.1";
    FakeApplication app({
        {"/org/freedesktop/DBus Hello()", g_variant_new("(s)", me)},
        {"/org/a11y/atspi/accessible/root GetApplicationBusAddress()", g_variant_new("(s)", "")},
        {"/doc GetText(0, -1)", g_variant_new("(s)", "A\uFFFCB\uFFFC\uFFFC\uFFFCC")},
        {"/doc GetChildren()", g_variant_new_parsed("(@a(so) [],)")},
        {"/doc GetNLinks()", g_variant_new("(i)", 4)},
        // A name no bus could have: libdbus would abort on it.
        {"/doc GetLink(0,)", g_variant_new("((so))", "not a bus name", "/link0")},
        {"/doc GetLink(1,)", g_variant_new("((so))", me, "/link1")},
        {"/doc GetLink(2,)", g_variant_new("((so))", me, "/link2")},
        {"/doc GetLink(3,)", g_variant_new("((so))", me, "/link3")},
        {"/link1 GetObject(0,)", g_variant_new("((so))", me, "/paragraph")},
        {"/link2 GetObject(0,)", g_variant_new("((so))", me, "/password")},
        {"/link3 GetObject(0,)", g_variant_new("((so))", me, "/frame")},
        {"/paragraph GetRole()", g_variant_new("(u)", ATSPI_ROLE_PARAGRAPH)},
        {"/paragraph GetText(0, -1)", g_variant_new("(s)", "inner")},
        {"/password GetRole()", g_variant_new("(u)", ATSPI_ROLE_PASSWORD_TEXT)},
        {"/password GetText(0, -1)", g_variant_new("(s)", "hunter2")},
        {"/frame GetRole()", g_variant_new("(u)", ATSPI_ROLE_INTERNAL_FRAME)},
        {"/frame GetText(0, -1)", g_variant_new("(s)", "framed")},
        {"/list GetText(0, -1)", g_variant_new("(s)", "\uFFFCx\uFFFC")},
        {"/list GetChildren()", g_variant_new_parsed("([(':1.1', @o '/item0'), (':1.1', @o "
                                                     "'/item1')],)")},
        {"/list GetNLinks()", g_variant_new("(i)", 1)},
    });
    auto batch = TextBatch::open(app.address(), g_get_monotonic_time() + G_USEC_PER_SEC);
    ASSERT_TRUE(batch);

    auto page = batch->read({me, "/doc"}, {1, 3, 4, 5}, {},
                            g_get_monotonic_time() + gint64{5} * G_USEC_PER_SEC);
    ASSERT_TRUE(page);
    ASSERT_EQ(page->top.size(), 4U);
    EXPECT_EQ(page->top[0], nullptr) << "an object behind a bad name is not there";
    ASSERT_NE(page->top[1], nullptr);
    EXPECT_EQ(page->top[1]->text, "inner");
    ASSERT_NE(page->top[2], nullptr);
    EXPECT_TRUE(page->top[2]->secret);
    EXPECT_EQ(page->top[2]->text, "");
    auto asked = app.asked();
    EXPECT_EQ(std::count(asked.begin(), asked.end(), "/password GetText(0, -1)"), 0)
        << "a password field's text is never asked for";
    EXPECT_EQ(page->top[3], nullptr) << "a frame's document is not part of the page's selection";

    // The objects at a selection's edges are found by the same rule as those inside it: by
    // child where the children line up with the embedded characters, else by link.
    auto deadline = g_get_monotonic_time() + gint64{5} * G_USEC_PER_SEC;
    auto linked = batch->read({me, "/doc"}, {}, {5, 2, 1}, deadline);
    auto lined = batch->read({me, "/list"}, {}, {2}, deadline);
    ASSERT_TRUE(linked && lined);
    std::vector<std::pair<int, int>> places;
    for (const auto* result : {linked.get(), lined.get()}) {
        for (EmbeddedPlace place : result->edges) {
            places.emplace_back(place.child, place.link);
        }
    }
    EXPECT_EQ(places, (std::vector<std::pair<int, int>>{{-1, 3}, {-1, -1}, {-1, 0}, {1, -1}}));

    // An application that never answers costs the deadline, not more.
    EXPECT_EQ(batch->read({me, "/mute"}, {0}, {}, g_get_monotonic_time() + G_USEC_PER_SEC / 5),
              nullptr);
}

}  // namespace
}  // namespace glimwick::os
