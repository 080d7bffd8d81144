#include "platform/linux/AtspiBatch.h"

#include <algorithm>
#include <array>
#include <memory>
#include <string_view>

#include "platform/linux/AtspiCalls.h"
#include "platform/linux/AtspiRoles.h"

namespace glimwick::os {

namespace {

constexpr const char* kAccessible = "org.a11y.atspi.Accessible";
constexpr const char* kText = "org.a11y.atspi.Text";
constexpr const char* kHypertext = "org.a11y.atspi.Hypertext";
constexpr const char* kHyperlink = "org.a11y.atspi.Hyperlink";
// Requests in flight at once: enough to keep the application busy, few enough for the bus.
constexpr size_t kWindow = 256;
constexpr gint64 kSilenceUs = gint64{500} * 1000;

GVariantPtr owned(GVariant* floating) {
    return GVariantPtr(floating != nullptr ? g_variant_ref_sink(floating) : nullptr);
}

std::optional<ObjectRef> objectIn(const GVariantPtr& reply) {
    if (!reply || !g_variant_is_of_type(reply.get(), G_VARIANT_TYPE("((so))"))) {
        return std::nullopt;
    }
    const gchar* bus = nullptr;
    const gchar* path = nullptr;
    g_variant_get(reply.get(), "((&s&o))", &bus, &path);
    return ObjectRef{bus, path};
}

std::vector<ObjectRef> childrenIn(const GVariantPtr& reply) {
    std::vector<ObjectRef> children;
    if (reply && g_variant_is_of_type(reply.get(), G_VARIANT_TYPE("(a(so))"))) {
        GVariantIter* iter = nullptr;
        g_variant_get(reply.get(), "(a(so))", &iter);
        const gchar* bus = nullptr;
        const gchar* path = nullptr;
        while (g_variant_iter_next(iter, "(&s&o)", &bus, &path)) {
            children.push_back({bus, path});
        }
        g_variant_iter_free(iter);
    }
    return children;
}

std::optional<gint32> intIn(const GVariantPtr& reply) {
    if (!reply || !g_variant_is_of_type(reply.get(), G_VARIANT_TYPE("(i)"))) {
        return std::nullopt;
    }
    gint32 value = 0;
    g_variant_get(reply.get(), "(i)", &value);
    return value;
}

struct DBusPendingCallDrop {
    void operator()(DBusPendingCall* call) const {
        dbus_pending_call_cancel(call);
        dbus_pending_call_unref(call);
    }
};
using DBusPendingCallPtr = std::unique_ptr<DBusPendingCall, DBusPendingCallDrop>;

// A reference that keeps a connection's memory, not the connection, open.
struct DBusConnectionUnref {
    void operator()(DBusConnection* connection) const { dbus_connection_unref(connection); }
};
using DBusConnectionRef = std::unique_ptr<DBusConnection, DBusConnectionUnref>;

int millisecondsUntil(gint64 deadline) {
    return static_cast<int>(
        std::clamp<gint64>((deadline - g_get_monotonic_time()) / 1000, 1, kCallTimeoutMs));
}

// Messages nobody waits for (answers to requests given up, the bus's greeting) let go.
void drain(DBusConnection* connection) {
    while (dbus_connection_dispatch(connection) == DBUS_DISPATCH_DATA_REMAINS) {
    }
}

DBusMessagePtr callAndWait(DBusConnection* connection, DBusMessage* message, gint64 deadline) {
    dbus_message_set_auto_start(message, FALSE);
    DBusMessagePtr reply(dbus_connection_send_with_reply_and_block(
        connection, message, millisecondsUntil(deadline), nullptr));
    drain(connection);
    return reply;
}

// Peers' answers as the rest of the bridge reads them. Null for an error or an answer of
// another form than these.
GVariantPtr variantOf(DBusMessage* reply) {
    DBusMessageIter args;
    if (reply == nullptr || dbus_message_get_type(reply) != DBUS_MESSAGE_TYPE_METHOD_RETURN ||
        !dbus_message_iter_init(reply, &args)) {
        return nullptr;
    }
    // libdbus has checked every string, object path and signature of a message it received.
    auto objectAt = [](DBusMessageIter* at) {
        DBusMessageIter fields;
        dbus_message_iter_recurse(at, &fields);
        const char* bus = nullptr;
        const char* path = nullptr;
        dbus_message_iter_get_basic(&fields, &bus);
        dbus_message_iter_next(&fields);
        dbus_message_iter_get_basic(&fields, &path);
        return g_variant_new("(so)", bus, path);
    };
    std::string_view signature(dbus_message_get_signature(reply));
    GVariant* value = nullptr;
    if (signature == "s") {
        const char* text = nullptr;
        dbus_message_iter_get_basic(&args, &text);
        value = g_variant_new("(s)", text);
    } else if (signature == "i") {
        dbus_int32_t number = 0;
        dbus_message_iter_get_basic(&args, &number);
        value = g_variant_new("(i)", number);
    } else if (signature == "u") {
        dbus_uint32_t number = 0;
        dbus_message_iter_get_basic(&args, &number);
        value = g_variant_new("(u)", number);
    } else if (signature == "(so)") {
        value = g_variant_new_tuple(std::array{objectAt(&args)}.data(), 1);
    } else if (signature == "a(so)") {
        GVariantBuilder objects;
        g_variant_builder_init(&objects, G_VARIANT_TYPE("a(so)"));
        DBusMessageIter items;
        dbus_message_iter_recurse(&args, &items);
        while (dbus_message_iter_get_arg_type(&items) == DBUS_TYPE_STRUCT) {
            g_variant_builder_add_value(&objects, objectAt(&items));
            dbus_message_iter_next(&items);
        }
        GVariant* array = g_variant_builder_end(&objects);
        value = g_variant_new_tuple(&array, 1);
    }
    return owned(value);
}

DBusConnectionPtr connectTo(const char* address, bool messageBus, gint64 deadline) {
    DBusConnectionPtr connection(dbus_connection_open_private(address, nullptr));
    if (!connection) {
        return nullptr;
    }
    dbus_connection_set_exit_on_disconnect(connection.get(), FALSE);
    if (messageBus) {
        // The greeting a bus wants first; dbus_bus_register would wait for it unbounded.
        DBusMessagePtr hello(dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                                          DBUS_INTERFACE_DBUS, "Hello"));
        if (!hello || !callAndWait(connection.get(), hello.get(), deadline)) {
            return nullptr;
        }
    }
    return connection;
}

}  // namespace

std::unique_ptr<TextBatch> TextBatch::open(const char* address, gint64 deadline) {
    DBusConnectionPtr bus = connectTo(address, true, deadline);
    if (!bus) {
        return nullptr;
    }
    return std::make_unique<TextBatch>(std::move(bus));
}

DBusConnection* TextBatch::connectionTo(const std::string& bus, gint64 deadline) {
    auto found = direct_.find(bus);
    if (found == direct_.end()) {
        DBusConnectionPtr direct;
        DBusMessagePtr ask(
            dbus_message_new_method_call(bus.c_str(), "/org/a11y/atspi/accessible/root",
                                         "org.a11y.atspi.Application", "GetApplicationBusAddress"));
        DBusMessagePtr reply = ask ? callAndWait(bus_.get(), ask.get(), deadline) : nullptr;
        const char* address = nullptr;
        // Only a socket on this machine: the address is the application's word.
        if (reply &&
            dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_STRING, &address,
                                  DBUS_TYPE_INVALID) &&
            g_str_has_prefix(address, "unix:")) {
            direct = connectTo(address, false, deadline);
        }
        found = direct_.emplace(bus, std::move(direct)).first;
    }
    if (found->second && !dbus_connection_get_is_connected(found->second.get())) {
        found->second.reset();
    }
    return found->second.get();
}

// What identifies a request among the answers kept.
std::string TextBatch::keyOf(const Call& call) {
    std::string key =
        call.object.bus + ' ' + call.object.path + ' ' + call.interface + '.' + call.method;
    for (gint32 argument : call.arguments) {
        key += ' ' + std::to_string(argument);
    }
    return key;
}

// The message for call, and the connection it goes over (via); null when it cannot be made.
DBusMessagePtr TextBatch::messageFor(const Call& call, gint64 deadline, DBusConnection*& via) {
    // Names come from the applications' answers; libdbus aborts on invalid ones.
    if (!dbus_validate_bus_name(call.object.bus.c_str(), nullptr) ||
        !dbus_validate_path(call.object.path.c_str(), nullptr)) {
        return nullptr;
    }
    DBusConnection* direct = connectionTo(call.object.bus, deadline);
    via = direct != nullptr ? direct : bus_.get();
    DBusMessagePtr message(
        dbus_message_new_method_call(direct != nullptr ? nullptr : call.object.bus.c_str(),
                                     call.object.path.c_str(), call.interface, call.method));
    if (!message) {
        return nullptr;
    }
    dbus_message_set_auto_start(message.get(), FALSE);
    for (dbus_int32_t argument : call.arguments) {
        dbus_message_append_args(message.get(), DBUS_TYPE_INT32, &argument, DBUS_TYPE_INVALID);
    }
    return message;
}

void TextBatch::remember(const std::vector<std::string>& keys,
                         const std::vector<GVariantPtr>& answers) {
    for (size_t i = 0; i < keys.size(); ++i) {
        if (answers[i]) {
            answered_.try_emplace(keys[i], g_variant_ref(answers[i].get()));
        }
    }
}

std::optional<std::vector<GVariantPtr>> TextBatch::runAll(std::vector<Call>& calls,
                                                          gint64 deadline) {
    std::vector<GVariantPtr> answers(calls.size());
    std::vector<std::string> keys;
    keys.reserve(calls.size());
    std::transform(calls.begin(), calls.end(), std::back_inserter(keys), &keyOf);
    struct Flight {
        DBusPendingCallPtr call;
        DBusConnection* via;
        size_t index;
    };
    std::deque<Flight> flying;
    // A direct connection found closed is let go of during the run; these stay readable.
    std::vector<DBusConnectionRef> used;
    auto inUse = [&](DBusConnection* connection) {
        return std::find_if(used.begin(), used.end(),
                            [&](const DBusConnectionRef& r) { return r.get() == connection; });
    };
    size_t sent = 0;
    auto send = [&] {
        while (flying.size() < kWindow && sent < calls.size()) {
            size_t index = sent++;
            if (auto known = answered_.find(keys[index]); known != answered_.end()) {
                answers[index].reset(g_variant_ref(known->second.get()));
                continue;
            }
            DBusConnection* via = nullptr;
            DBusMessagePtr message = messageFor(calls[index], deadline, via);
            if (!message) {
                continue;
            }
            DBusPendingCall* pending = nullptr;
            if (!dbus_connection_send_with_reply(via, message.get(), &pending, kCallTimeoutMs) ||
                pending == nullptr) {
                continue;  // the peer is gone: no answer
            }
            flying.push_back({DBusPendingCallPtr(pending), via, index});
            if (inUse(via) == used.end()) {
                used.emplace_back(dbus_connection_ref(via));
            }
        }
    };
    send();
    bool late = false;
    bool heard = false;
    gint64 began = g_get_monotonic_time();
    while (!flying.empty()) {
        if (g_get_monotonic_time() > deadline) {
            late = true;
            break;
        }
        // One connection is waited on; with more, briefly each, so none is left unread.
        DBusConnection* via = flying.front().via;
        int wait = used.size() > 1 ? 1 : millisecondsUntil(deadline);
        bool open = dbus_connection_read_write(via, wait) != FALSE;
        drain(via);
        if (auto closed = inUse(via); !open && closed != used.end()) {
            used.erase(closed);
        }
        std::erase_if(flying, [&](Flight& flight) {
            if (!dbus_pending_call_get_completed(flight.call.get())) {
                return !open && flight.via == via;  // no answer comes over a closed one
            }
            DBusMessagePtr reply(dbus_pending_call_steal_reply(flight.call.get()));
            answers[flight.index] = variantOf(reply.get());
            heard = true;
            return true;
        });
        send();
    }
    flying.clear();  // what is still out is given up
    for (const DBusConnectionRef& connection : used) {
        drain(connection.get());
    }
    remember(keys, answers);
    if (late) {
        // Not a word in half a second: a reading cut short by its budget hears plenty.
        heardNothing_ = !heard && g_get_monotonic_time() - began >= kSilenceUs;
        return std::nullopt;
    }
    return answers;
}

// Which object an embedded character stands for, the one rule for both ways of reading: where
// a container's children line up one to one with its embedded characters (no children for
// plain text), the n-th child; else where its links do, the n-th link; else the link its
// offset names.
bool TextBatch::mapEmbedded(const std::vector<Container>& containers, const Place& place,
                            gint64 deadline) {
    std::vector<Call> calls;
    for (const auto& [object, embedded] : containers) {
        if (embedded.size() > 1) {
            calls.push_back({object, kAccessible, "GetChildren", {}});
            calls.push_back({object, kHypertext, "GetNLinks", {}});
        }
    }
    auto answers = runAll(calls, deadline);
    if (!answers) {
        return false;
    }
    size_t at = 0;
    for (size_t k = 0; k < containers.size(); ++k) {
        const std::vector<int>& embedded = containers[k].second;
        std::vector<ObjectRef> children;
        bool linked = embedded.size() == 1;
        if (embedded.size() > 1) {
            children = childrenIn((*answers)[at]);
            linked = intIn((*answers)[at + 1]) == static_cast<gint32>(embedded.size());
            at += 2;
        }
        bool lined = children.size() == embedded.size();
        for (size_t i = 0; i < embedded.size(); ++i) {
            place(k, i, lined ? std::optional(children[i]) : std::nullopt,
                  linked ? static_cast<int>(i) : -1);
        }
    }
    return true;
}

// The first level: the objects behind the embedded characters at offsets of container, and
// the places of those at edges.
std::optional<std::vector<TextBatch::Pending>> TextBatch::firstLevel(
    const ObjectRef& container, const std::vector<int>& offsets, const std::vector<int>& edges,
    const std::string* wholeText, Result& result, gint64 deadline) {
    std::vector<int> all;
    if (wholeText != nullptr) {
        all = embeddedOffsets(*wholeText);
    } else {
        std::vector<Call> first{{container, kText, "GetText", {0, -1}}};
        auto answers = runAll(first, deadline);
        if (!answers) {
            return std::nullopt;
        }
        if ((*answers)[0] && g_variant_is_of_type((*answers)[0].get(), G_VARIANT_TYPE("(s)"))) {
            const gchar* text = nullptr;
            g_variant_get((*answers)[0].get(), "(&s)", &text);
            all = embeddedOffsets(text);
        }
    }
    std::vector<std::optional<ObjectRef>> topChild(all.size());
    std::vector<int> topLink(all.size(), -1);
    if (!mapEmbedded(
            {{container, all}},
            [&](size_t, size_t i, std::optional<ObjectRef> child, int link) {
                topChild[i] = std::move(child);
                topLink[i] = link;
            },
            deadline)) {
        return std::nullopt;
    }
    // The n-th of all, where offset is one of them.
    auto ordinal = [&](int offset) -> std::optional<size_t> {
        auto found = std::lower_bound(all.begin(), all.end(), offset);
        if (found == all.end() || *found != offset) {
            return std::nullopt;
        }
        return static_cast<size_t>(found - all.begin());
    };
    for (int offset : edges) {
        auto n = ordinal(offset);
        result.edges.push_back(
            !n ? EmbeddedPlace{}
               : EmbeddedPlace{topChild[*n] ? static_cast<int>(*n) : -1, topLink[*n]});
    }
    std::vector<Pending> level;
    for (size_t i = 0; i < offsets.size(); ++i) {
        auto n = ordinal(offsets[i]);
        level.push_back({container,
                         offsets[i],
                         n ? topLink[*n] : -1,
                         &result.top[i],
                         {},
                         n ? topChild[*n] : std::nullopt,
                         nullptr});
    }
    return level;
}

// One request for each pending object that request makes one for, all sent together; take
// reads each answer.
template <typename Request, typename Take>
bool TextBatch::stage(std::vector<Pending>& level, Request&& request, Take&& take,
                      gint64 deadline) {
    std::vector<Call> calls;
    std::vector<Pending*> asked;
    for (Pending& pending : level) {
        if (auto call = request(pending)) {
            calls.push_back(std::move(*call));
            asked.push_back(&pending);
        }
    }
    auto replies = runAll(calls, deadline);
    if (!replies) {
        return false;
    }
    for (size_t i = 0; i < asked.size(); ++i) {
        take(*asked[i], (*replies)[i]);
    }
    return true;
}

// Finds the object behind each pending character, then its role and, for all but a password
// field, its whole text.
bool TextBatch::readLevel(std::vector<Pending>& level, Result& result, gint64 deadline) {
    auto found = [](const Pending& p) { return p.object.has_value(); };
    return stage(
               level,
               [&](Pending& p) -> std::optional<Call> {
                   if (found(p) || p.linkIndex >= 0) {
                       return std::nullopt;
                   }
                   return Call{p.container, kHypertext, "GetLinkIndex", {p.offset}};
               },
               [](Pending& p, const GVariantPtr& r) { p.linkIndex = intIn(r).value_or(-1); },
               deadline) &&
           stage(
               level,
               [&](Pending& p) -> std::optional<Call> {
                   if (found(p) || p.linkIndex < 0) {
                       return std::nullopt;
                   }
                   return Call{p.container, kHypertext, "GetLink", {p.linkIndex}};
               },
               [](Pending& p, const GVariantPtr& r) { p.link = objectIn(r); }, deadline) &&
           stage(
               level,
               [&](Pending& p) -> std::optional<Call> {
                   if (found(p) || !p.link) {
                       return std::nullopt;
                   }
                   return Call{*p.link, kHyperlink, "GetObject", {0}};
               },
               [](Pending& p, const GVariantPtr& r) { p.object = objectIn(r); }, deadline) &&
           stage(
               level,
               [&](Pending& p) -> std::optional<Call> {
                   if (!found(p)) {
                       return std::nullopt;
                   }
                   return Call{*p.object, kAccessible, "GetRole", {}};
               },
               [&result](Pending& p, const GVariantPtr& r) { place(p, r, result); }, deadline) &&
           // A password field's text is never asked for.
           stage(
               level,
               [](Pending& p) -> std::optional<Call> {
                   if (p.node == nullptr || p.node->secret) {
                       return std::nullopt;
                   }
                   return Call{*p.object, kText, "GetText", {0, -1}};
               },
               [](Pending& p, const GVariantPtr& r) {
                   if (r && g_variant_is_of_type(r.get(), G_VARIANT_TYPE("(s)"))) {
                       const gchar* text = nullptr;
                       g_variant_get(r.get(), "(&s)", &text);
                       p.node->text = text;
                   }
               },
               deadline);
}

// A node for the pending object, by the role the application answered; an unreadable role
// counts as a password's. A document of its own (a frame) gets none: nothing of it is read.
void TextBatch::place(Pending& pending, const GVariantPtr& role, Result& result) {
    std::optional<AtspiRole> known;
    if (role && g_variant_is_of_type(role.get(), G_VARIANT_TYPE("(u)"))) {
        guint32 value = 0;
        g_variant_get(role.get(), "(u)", &value);
        known = static_cast<AtspiRole>(value);
    }
    if (known && isSeparateDocument(*known)) {
        return;
    }
    TextNode& node = result.nodes.emplace_back();
    node.layout = known ? layoutOf(*known) : Layout::block;
    node.secret = isSecret(known);
    pending.node = &node;
    *pending.slot = &node;
}

// The next level: the embedded objects of what this one read.
std::optional<std::vector<TextBatch::Pending>> TextBatch::nextLevel(std::vector<Pending>& level,
                                                                    gint64 deadline) {
    std::vector<Container> containers;
    std::vector<TextNode*> owners;
    for (Pending& pending : level) {
        TextNode* node = pending.node;
        if (node == nullptr || node->secret) {
            continue;
        }
        std::vector<int> inner = embeddedOffsets(node->text);
        if (inner.empty()) {
            continue;
        }
        node->embedded.assign(inner.size(), nullptr);
        containers.emplace_back(*pending.object, std::move(inner));
        owners.push_back(node);
    }
    std::vector<Pending> next;
    if (!mapEmbedded(
            containers,
            [&](size_t k, size_t i, std::optional<ObjectRef> child, int link) {
                next.push_back({containers[k].first,
                                containers[k].second[i],
                                link,
                                &owners[k]->embedded[i],
                                {},
                                std::move(child),
                                nullptr});
            },
            deadline)) {
        return std::nullopt;
    }
    return next;
}

std::unique_ptr<TextBatch::Result> TextBatch::read(const ObjectRef& container,
                                                   const std::vector<int>& offsets,
                                                   const std::vector<int>& edges, gint64 deadline,
                                                   const std::string* wholeText) {
    heardNothing_ = false;
    auto result = std::make_unique<Result>();
    result->top.assign(offsets.size(), nullptr);
    auto level = firstLevel(container, offsets, edges, wholeText, *result, deadline);
    for (int depth = 0; level && !level->empty(); ++depth) {
        if (depth > kMaxEmbeddingDepth || !readLevel(*level, *result, deadline)) {
            return nullptr;
        }
        level = nextLevel(*level, deadline);
    }
    return level ? std::move(result) : nullptr;
}

}  // namespace glimwick::os
