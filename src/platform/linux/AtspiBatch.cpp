#include "platform/linux/AtspiBatch.h"

#include <algorithm>
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
constexpr std::string_view kEmbeddedObject = "\xEF\xBF\xBC";  // U+FFFC
constexpr int kMaxDepth = 48;
// Requests in flight at once: enough to keep the application busy, few enough for the bus.
constexpr size_t kWindow = 256;

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

}  // namespace

std::vector<int> embeddedOffsets(std::string_view text) {
    std::vector<int> offsets;
    int offset = 0;
    const char* end = text.data() + text.size();
    for (const char* p = text.data(); p < end; p = g_utf8_next_char(p), ++offset) {
        if (std::string_view(p, end - p).substr(0, kEmbeddedObject.size()) == kEmbeddedObject) {
            offsets.push_back(offset);
        }
    }
    return offsets;
}

GDBusConnection* TextBatch::connectionTo(const std::string& bus, gint64 deadline) {
    auto found = direct_.find(bus);
    if (found == direct_.end()) {
        gint timeout = static_cast<gint>(
            std::clamp<gint64>((deadline - g_get_monotonic_time()) / 1000, 1, kCallTimeoutMs));
        GVariantPtr reply(g_dbus_connection_call_sync(
            bus_, bus.c_str(), "/org/a11y/atspi/accessible/root", "org.a11y.atspi.Application",
            "GetApplicationBusAddress", nullptr, G_VARIANT_TYPE("(s)"),
            G_DBUS_CALL_FLAGS_NO_AUTO_START, timeout, nullptr, nullptr));
        GObjectPtr<GDBusConnection> direct;
        const gchar* address = nullptr;
        if (reply) {
            g_variant_get(reply.get(), "(&s)", &address);
        }
        if (address != nullptr && *address != '\0') {
            direct.reset(g_dbus_connection_new_for_address_sync(
                address, G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT, nullptr, nullptr, nullptr));
        }
        found = direct_.emplace(bus, std::move(direct)).first;
    }
    if (found->second && g_dbus_connection_is_closed(found->second.get())) {
        found->second.reset();
    }
    return found->second ? found->second.get() : nullptr;
}

std::optional<std::vector<GVariantPtr>> TextBatch::runAll(std::vector<Call>& calls,
                                                          gint64 deadline) {
    struct State {
        std::vector<GVariantPtr> answers;
        size_t sent = 0;
        size_t pending = 0;
        GObjectPtr<GCancellable> cancel{g_cancellable_new()};
    };
    struct Reply {
        State* state;
        size_t index;
    };
    State state;
    state.answers.resize(calls.size());
    std::unique_ptr<GMainContext, void (*)(GMainContext*)> context(g_main_context_new(),
                                                                   g_main_context_unref);
    // Replies come to this context only, so nothing else runs while we wait for them.
    g_main_context_push_thread_default(context.get());
    std::vector<std::string> keys;
    for (const Call& call : calls) {
        GCharPtr arguments(call.arguments ? g_variant_print(call.arguments.get(), FALSE) : nullptr);
        keys.push_back(call.object.bus + ' ' + call.object.path + ' ' + call.interface + '.' +
                       call.method + (arguments ? arguments.get() : ""));
    }
    auto send = [&] {
        while (state.pending < kWindow && state.sent < calls.size()) {
            if (auto known = answered_.find(keys[state.sent]); known != answered_.end()) {
                state.answers[state.sent++].reset(g_variant_ref(known->second.get()));
                continue;
            }
            Call& call = calls[state.sent];
            auto reply = std::make_unique<Reply>(Reply{&state, state.sent});
            GDBusConnection* direct = connectionTo(call.object.bus, deadline);
            g_dbus_connection_call(
                direct != nullptr ? direct : bus_,
                direct != nullptr ? nullptr : call.object.bus.c_str(), call.object.path.c_str(),
                call.interface, call.method, call.arguments ? call.arguments.get() : nullptr,
                nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMs, state.cancel.get(),
                [](GObject* source, GAsyncResult* result, gpointer data) {
                    std::unique_ptr<Reply> reply(static_cast<Reply*>(data));
                    GVariant* answer =
                        g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
                    reply->state->answers[reply->index].reset(answer);
                    --reply->state->pending;
                },
                reply.release());
            ++state.sent;
            ++state.pending;
        }
    };
    send();
    bool late = false;
    while (state.pending > 0) {
        if (!late && g_get_monotonic_time() > deadline) {
            late = true;
            g_cancellable_cancel(state.cancel.get());  // the callbacks still come, promptly
        }
        if (late) {
            g_main_context_iteration(context.get(), TRUE);
            continue;
        }
        // Wakes at the deadline even when nothing answers.
        gint64 left = std::max<gint64>(deadline - g_get_monotonic_time(), 0);
        GSourcePtr timer(g_timeout_source_new(static_cast<guint>(left / 1000 + 1)));
        g_source_set_callback(
            timer.get(), [](gpointer) { return G_SOURCE_REMOVE; }, nullptr, nullptr);
        g_source_attach(timer.get(), context.get());
        g_main_context_iteration(context.get(), TRUE);
        g_source_destroy(timer.get());
        send();
    }
    g_main_context_pop_thread_default(context.get());
    for (size_t i = 0; i < calls.size(); ++i) {
        if (state.answers[i]) {
            answered_.try_emplace(keys[i], g_variant_ref(state.answers[i].get()));
        }
    }
    if (late) {
        return std::nullopt;
    }
    return std::move(state.answers);
}

std::unique_ptr<TextBatch::Result> TextBatch::read(const ObjectRef& container,
                                                   const std::vector<int>& offsets,
                                                   gint64 deadline) {
    auto result = std::make_unique<Result>();
    result->top.assign(offsets.size(), nullptr);

    // A slot to fill: the object behind the embedded character at offset of container.
    struct Pending {
        ObjectRef container;
        int offset;
        int linkIndex;  // -1 until known
        const TextNode** slot;
        std::optional<ObjectRef> link;
        std::optional<ObjectRef> object;
        TextNode* node = nullptr;
    };
    std::vector<Pending> level;

    // Which object an embedded character stands for: where a container's children line up
    // one to one with its embedded characters (no children for plain text), the n-th child;
    // else where its links do, the n-th link; else the link its offset names.
    auto mapping = [this, deadline](std::vector<std::pair<ObjectRef, std::vector<int>>>& containers,
                                    auto&& place) {
        std::vector<Call> calls;
        for (auto& [object, embedded] : containers) {
            if (embedded.size() > 1) {
                calls.push_back({object, kAccessible, "GetChildren", nullptr});
                calls.push_back({object, kHypertext, "GetNLinks", nullptr});
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
    };

    std::vector<Call> first;
    first.push_back({container, kText, "GetText", owned(g_variant_new("(ii)", 0, -1))});
    auto answers = runAll(first, deadline);
    if (!answers) {
        return nullptr;
    }
    std::vector<int> all;
    if ((*answers)[0] && g_variant_is_of_type((*answers)[0].get(), G_VARIANT_TYPE("(s)"))) {
        const gchar* text = nullptr;
        g_variant_get((*answers)[0].get(), "(&s)", &text);
        all = embeddedOffsets(text);
    }
    std::vector<std::pair<ObjectRef, std::vector<int>>> top{{container, all}};
    std::vector<std::optional<ObjectRef>> topChild(all.size());
    std::vector<int> topLink(all.size(), -1);
    if (!mapping(top, [&](size_t, size_t i, std::optional<ObjectRef> child, int link) {
            topChild[i] = std::move(child);
            topLink[i] = link;
        })) {
        return nullptr;
    }
    for (size_t i = 0; i < offsets.size(); ++i) {
        auto found = std::lower_bound(all.begin(), all.end(), offsets[i]);
        bool known = found != all.end() && *found == offsets[i];
        size_t n = static_cast<size_t>(found - all.begin());
        level.push_back({container,
                         offsets[i],
                         known ? topLink[n] : -1,
                         &result->top[i],
                         {},
                         known ? topChild[n] : std::nullopt,
                         nullptr});
    }

    for (int depth = 0; !level.empty(); ++depth) {
        if (depth > kMaxDepth) {
            return nullptr;
        }
        std::vector<Call> calls;
        auto stage = [&](auto&& request, auto&& take) {
            calls.clear();
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
        };
        bool done =
            stage(
                [](Pending& p) -> std::optional<Call> {
                    if (p.object || p.linkIndex >= 0) {
                        return std::nullopt;
                    }
                    return Call{p.container, kHypertext, "GetLinkIndex",
                                owned(g_variant_new("(i)", p.offset))};
                },
                [](Pending& p, const GVariantPtr& r) { p.linkIndex = intIn(r).value_or(-1); }) &&
            stage(
                [](Pending& p) -> std::optional<Call> {
                    if (p.object || p.linkIndex < 0) {
                        return std::nullopt;
                    }
                    return Call{p.container, kHypertext, "GetLink",
                                owned(g_variant_new("(i)", p.linkIndex))};
                },
                [](Pending& p, const GVariantPtr& r) { p.link = objectIn(r); }) &&
            stage(
                [](Pending& p) -> std::optional<Call> {
                    if (p.object || !p.link) {
                        return std::nullopt;
                    }
                    return Call{*p.link, kHyperlink, "GetObject", owned(g_variant_new("(i)", 0))};
                },
                [](Pending& p, const GVariantPtr& r) { p.object = objectIn(r); }) &&
            stage(
                [](Pending& p) -> std::optional<Call> {
                    if (!p.object) {
                        return std::nullopt;
                    }
                    return Call{*p.object, kAccessible, "GetRole", nullptr};
                },
                [&result](Pending& p, const GVariantPtr& r) {
                    TextNode& node = result->nodes.emplace_back();
                    std::optional<AtspiRole> role;
                    if (r && g_variant_is_of_type(r.get(), G_VARIANT_TYPE("(u)"))) {
                        guint32 value = 0;
                        g_variant_get(r.get(), "(u)", &value);
                        role = static_cast<AtspiRole>(value);
                    }
                    node.role = role.value_or(ATSPI_ROLE_INVALID);
                    node.secret = isSecret(role);
                    p.node = &node;
                    *p.slot = &node;
                }) &&
            // A password field's text is never asked for.
            stage(
                [](Pending& p) -> std::optional<Call> {
                    if (p.node == nullptr || p.node->secret) {
                        return std::nullopt;
                    }
                    return Call{*p.object, kText, "GetText", owned(g_variant_new("(ii)", 0, -1))};
                },
                [](Pending& p, const GVariantPtr& r) {
                    if (r && g_variant_is_of_type(r.get(), G_VARIANT_TYPE("(s)"))) {
                        const gchar* text = nullptr;
                        g_variant_get(r.get(), "(&s)", &text);
                        p.node->text = text;
                    }
                });
        if (!done) {
            return nullptr;
        }

        // The next level: the embedded objects of what was read.
        std::vector<std::pair<ObjectRef, std::vector<int>>> containers;
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
        if (!mapping(containers, [&](size_t k, size_t i, std::optional<ObjectRef> child, int link) {
                next.push_back({containers[k].first,
                                containers[k].second[i],
                                link,
                                &owners[k]->embedded[i],
                                {},
                                std::move(child),
                                nullptr});
            })) {
            return nullptr;
        }
        level = std::move(next);
    }
    return result;
}

}  // namespace glimwick::os
