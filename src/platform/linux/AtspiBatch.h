#pragma once

#include <atspi/atspi.h>
#include <dbus/dbus.h>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/TextTree.h"
#include "platform/linux/GObjectPtr.h"

namespace glimwick::os {

// An object on the accessibility bus, as D-Bus names it.
struct ObjectRef {
    std::string bus;
    std::string path;
};

// How deep embedded objects are followed, by either way of reading them.
inline constexpr int kMaxEmbeddingDepth = 48;

// Where the object behind one embedded character is found, as TextBatch::mapEmbedded decides
// for both ways of reading: its container's child at child, else its link at link, else the
// link its offset names (both -1).
struct EmbeddedPlace {
    int child = -1;
    int link = -1;
};

struct DBusConnectionClose {
    void operator()(DBusConnection* connection) const {
        dbus_connection_close(connection);
        dbus_connection_unref(connection);
    }
};
struct DBusMessageUnref {
    void operator()(DBusMessage* message) const { dbus_message_unref(message); }
};
using DBusMessagePtr = std::unique_ptr<DBusMessage, DBusMessageUnref>;

// A private libdbus connection, closed with its last owner.
using DBusConnectionPtr = std::unique_ptr<DBusConnection, DBusConnectionClose>;

// Reads the whole text of many objects of one application at once. The requests of a level go
// out together over connections of our own, so that reading a page costs the application's own
// work on them and not a round trip each. libdbus and not GDBus: a page is thousands of small
// requests, and GDBus spent more processor time on each than the application answering it.
class TextBatch {
public:
    // Our own connection to the accessibility bus at address; null when there is none.
    static std::unique_ptr<TextBatch> open(const char* address, gint64 deadline);
    // bus: a connection to the accessibility bus that has greeted it.
    explicit TextBatch(DBusConnectionPtr bus) : bus_(std::move(bus)) {}
    // A reading cut short by its deadline keeps the answers it got, so that the same reading
    // tried again asks only for the rest; anything else lets them go.
    void forgetAnswers() { answered_.clear(); }
    // bus's application has left the accessibility bus: its connection closes.
    void forgetApplication(const std::string& bus) { direct_.erase(bus); }
    // Whether the last read that failed heard nothing at all from the application: then it
    // is not answering, and is left alone like any other that does not.
    bool heardNothing() const { return heardNothing_; }

    struct Result {
        std::deque<TextNode> nodes;        // what the pointers point to
        std::vector<const TextNode*> top;  // one for each offset asked about
        std::vector<EmbeddedPlace> edges;  // one for each edge asked about
    };
    // The objects behind the embedded characters at offsets of container, read whole,
    // recursively, and where those at edges are found (the caller reads their selected part).
    // Null when that could not be done by deadline. wholeText: container's whole text where
    // the caller has it already (a page's is costly to make); null to ask for it.
    std::unique_ptr<Result> read(const ObjectRef& container, const std::vector<int>& offsets,
                                 const std::vector<int>& edges, gint64 deadline,
                                 const std::string* wholeText = nullptr);

private:
    struct Call {
        ObjectRef object;
        const char* interface;
        const char* method;
        std::vector<gint32> arguments;
    };
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
    // An object and the offsets of its embedded characters.
    using Container = std::pair<ObjectRef, std::vector<int>>;
    // Where the character at i of container k leads: its child, or its link's index (-1).
    using Place = std::function<void(size_t k, size_t i, std::optional<ObjectRef> child, int link)>;

    bool mapEmbedded(const std::vector<Container>& containers, const Place& place, gint64 deadline);
    std::optional<std::vector<Pending>> firstLevel(const ObjectRef& container,
                                                   const std::vector<int>& offsets,
                                                   const std::vector<int>& edges,
                                                   const std::string* wholeText, Result& result,
                                                   gint64 deadline);
    template <typename Request, typename Take>
    bool stage(std::vector<Pending>& level, Request&& request, Take&& take, gint64 deadline);
    bool readLevel(std::vector<Pending>& level, Result& result, gint64 deadline);
    static void place(Pending& pending, const GVariantPtr& role, Result& result);
    std::optional<std::vector<Pending>> nextLevel(std::vector<Pending>& level, gint64 deadline);

    static std::string keyOf(const Call& call);
    DBusMessagePtr messageFor(const Call& call, gint64 deadline, DBusConnection*& via);
    void remember(const std::vector<std::string>& keys, const std::vector<GVariantPtr>& answers);

    // Runs every call with a bounded number in flight; an entry of the answer is null where
    // that call failed. Nullopt past the deadline.
    std::optional<std::vector<GVariantPtr>> runAll(std::vector<Call>& calls, gint64 deadline);

    // The application's own connection where it offers one (AT-SPI's bridges do), which
    // spares every request two passes through the bus daemon; else the bus.
    DBusConnection* connectionTo(const std::string& bus, gint64 deadline);

    DBusConnectionPtr bus_;
    // By bus name; null where the application offers none.
    std::unordered_map<std::string, DBusConnectionPtr> direct_;
    // Answers by request (object, method and arguments), until forgotten.
    std::unordered_map<std::string, GVariantPtr> answered_;
    bool heardNothing_ = false;
};

}  // namespace glimwick::os
