// glimwick-ctl: a stand-in for the main app on the session bus. It posts commands to running
// helpers and prints the events they answer with, one JSON line each.

#include <gio/gio.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "diagnostics/Messages.h"
#include "platform/linux/DBusNames.h"
#include "platform/linux/DBusNotificationCenter.h"
#include "platform/linux/GObjectPtr.h"
#include "protocol/Catalogue.h"

namespace {

using glimwick::os::GCharPtr;
using glimwick::os::GObjectPtr;
using Json = nlohmann::json;

constexpr const char* kSummary =
    R"(Talks to Glimwick helpers over the D-Bus session bus ($DBUS_SESSION_BUS_ADDRESS).
Events ("com.corvala.app.*") are printed one per line as
  {"name": NAME, "payload": <the parsed JSON object, or the raw text>}

Commands:
  watch                         print every event until interrupted, --count events have
                                arrived, or --timeout is up (exit 1 when fewer than --count
                                arrived)
  send NAME [OBJECT]            post one notification NAME with the optional string OBJECT
  ping                          post ping; expect a pong
  start                         post startMonitoring (with --app-pid); expect monitoring on
  stop                          post stopMonitoring; expect monitoring to be off
  check-permission              post checkPermission; expect a permissionStatus
  request-permission            post requestPermission; expect a permissionStatus
  shutdown-if-mismatch PATH     post shutdownIfMismatch; expect a helper's decision
  shutdown-redundant PATH PID   post shutdownRedundant; expect a helper's decision)";

constexpr const char* kDescription =
    R"(The command forms wait up to --wait seconds, print the events that arrive, and exit 0
once the expected answer has arrived, 1 otherwise; 2 for a command line they cannot use.)";

struct Options {
    gint count = -1;
    gdouble timeout = -1;
    gboolean readable = FALSE;
    gint64 appPID = 0;
    gboolean hasAppPID = FALSE;
    gdouble wait = 3;
    gboolean version = FALSE;
};

struct Event {
    std::string name;
    Json payload;
};

// The main app's side of the session bus: the helper's own notification center, observing
// every event.
class Bus {
public:
    bool connect() {
        GError* error = nullptr;
        GObjectPtr<GDBusConnection> connection(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error));
        if (!connection) {
            glimwick::os::GErrorPtr owned(error);
            std::fprintf(stderr, "glimwick-ctl: cannot reach the D-Bus session bus: %s\n",
                         owned ? owned->message : "unknown error");
            return false;
        }
        center_.emplace(std::move(connection));
        return true;
    }

    void watchEvents(std::function<void(const Event&)> onEvent) {
        center_->addInterfaceObserver(
            glimwick::names::kEventPrefix,
            [onEvent = std::move(onEvent)](const glimwick::Notification& notification,
                                           const std::string&) {
                Event event{notification.name, nullptr};
                if (const auto* text = std::get_if<std::string>(&notification.object)) {
                    Json parsed = Json::parse(*text, nullptr, false);
                    event.payload = parsed.is_discarded() ? Json(*text) : parsed;
                }
                onEvent(event);
            });
    }

    bool post(const std::string& name, const std::optional<std::string>& object) {
        if (!glimwick::os::signalNameFor(name)) {
            std::fprintf(stderr,
                         "glimwick-ctl: '%s' is not a notification name the bus can carry\n",
                         name.c_str());
            return false;
        }
        center_->post(name, object);
        center_->flush();
        return true;
    }

    // Iterates the main context until done() or the deadline (negative: no deadline).
    static void runUntil(const std::function<bool()>& done, double timeoutSeconds) {
        bool timedOut = false;
        guint timer = 0;
        if (timeoutSeconds >= 0) {
            timer = g_timeout_add(
                static_cast<guint>(timeoutSeconds * 1000),
                [](gpointer flag) {
                    *static_cast<bool*>(flag) = true;
                    return G_SOURCE_REMOVE;
                },
                &timedOut);
        }
        while (!done() && !timedOut) {
            g_main_context_iteration(nullptr, TRUE);
        }
        if (timer != 0 && !timedOut) {
            g_source_remove(timer);
        }
    }

private:
    std::optional<glimwick::os::DBusNotificationCenter> center_;
};

std::string number(const Json& value) {
    if (!value.is_number()) {
        return "?";
    }
    return std::to_string(static_cast<long long>(value.get<double>()));
}

std::string stringField(const Json& payload, const char* key) {
    return payload.is_object() && payload.contains(key) && payload[key].is_string()
               ? payload[key].get<std::string>()
               : std::string();
}

void printReadable(const Event& event) {
    std::string shortName =
        event.name.substr(std::string_view(glimwick::names::kEventPrefix).size());
    const Json& p = event.payload;
    std::string line;
    if (event.name == glimwick::names::kSelectionChanged && p.is_object()) {
        line = "selection  " +
               Json(stringField(p, "text")).dump(-1, ' ', false, Json::error_handler_t::replace) +
               "  at (" + number(p.value("x", Json())) + ", " + number(p.value("y", Json())) +
               ") size " + number(p.value("w", Json())) + " x " + number(p.value("h", Json()));
    } else if (event.name == glimwick::names::kSelectionCleared) {
        line = "cleared";
    } else if (event.name == glimwick::names::kDiagnostics) {
        line = "diagnostic " + stringField(p, "context");
    } else if (event.name == glimwick::names::kPermissionStatus && p.is_object()) {
        line = "permission granted=" + p.value("granted", Json()).dump() +
               " axTrusted=" + p.value("axTrusted", Json()).dump() +
               " axErrorCode=" + p.value("axErrorCode", Json()).dump();
    } else {
        line = shortName + " " + p.dump(-1, ' ', false, Json::error_handler_t::replace);
    }
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

void printEvent(const Event& event) {
    Json line{{"name", event.name}, {"payload", event.payload}};
    std::string text = line.dump(-1, ' ', false, Json::error_handler_t::replace);
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

std::string diagnosticContext(const Event& event) {
    if (event.name == glimwick::names::kDiagnostics && event.payload.is_object() &&
        event.payload.contains("context") && event.payload["context"].is_string()) {
        return event.payload["context"].get<std::string>();
    }
    return {};
}

bool startsWith(const std::string& text, std::string_view prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

int watch(Bus& bus, const Options& options) {
    long count = options.count;
    bool readable = options.readable != FALSE;
    long seen = 0;
    bus.watchEvents([&](const Event& event) {
        readable ? printReadable(event) : printEvent(event);
        ++seen;
    });
    std::fprintf(stderr, "glimwick-ctl: watching %s* on the session bus\n",
                 glimwick::names::kEventPrefix);
    bus.runUntil([&] { return count >= 0 && seen >= count; }, options.timeout);
    return count >= 0 && seen < count ? 1 : 0;
}

struct Command {
    std::string name;
    std::optional<std::string> object;
    std::function<bool(const Event&)> isAnswer;
    // An answer that says no; ends the wait with a failure.
    std::function<bool(const Event&)> isRefusal = [](const Event&) { return false; };
};

std::optional<Command> commandFor(const std::string& verb, const std::vector<std::string>& args,
                                  const Options& options) {
    namespace names = glimwick::names;
    namespace msg = glimwick::msg;
    auto event = [](const char* name) { return [name](const Event& e) { return e.name == name; }; };
    if (verb == "ping" && args.empty()) {
        return Command{names::kPing, std::nullopt, event(names::kPong)};
    }
    if (verb == "start" && args.empty()) {
        Json object = Json::object();
        if (options.hasAppPID) {
            object[glimwick::keys::kAppPID] = options.appPID;
        }
        return Command{names::kStartMonitoring, object.dump(),
                       [](const Event& e) {
                           auto context = diagnosticContext(e);
                           return startsWith(context, msg::kMonitoringStartedPrefix) ||
                                  context == msg::kAlreadyMonitoring;
                       },
                       [](const Event& e) {
                           return startsWith(diagnosticContext(e), msg::kStartRefusedPrefix);
                       }};
    }
    if (verb == "stop" && args.empty()) {
        return Command{names::kStopMonitoring, std::nullopt, [](const Event& e) {
                           return diagnosticContext(e) == msg::kMonitoringStopped;
                       }};
    }
    if (verb == "check-permission" && args.empty()) {
        return Command{names::kCheckPermission, std::nullopt, event(names::kPermissionStatus)};
    }
    if (verb == "request-permission" && args.empty()) {
        return Command{names::kRequestPermission, std::nullopt, event(names::kPermissionStatus)};
    }
    if (verb == "shutdown-if-mismatch" && args.size() == 1) {
        Json object{{glimwick::keys::kExpectedBundlePath, args[0]}};
        return Command{names::kShutdownIfMismatch, object.dump(), [](const Event& e) {
                           auto context = diagnosticContext(e);
                           return context == msg::kMismatchIsTarget ||
                                  startsWith(context, msg::kMismatchExitingPrefix);
                       }};
    }
    if (verb == "shutdown-redundant" && args.size() == 2) {
        Json object{{glimwick::keys::kExpectedBundlePath, args[0]},
                    {glimwick::keys::kKeepPID, std::strtoll(args[1].c_str(), nullptr, 10)}};
        return Command{names::kShutdownRedundant, object.dump(), [](const Event& e) {
                           auto context = diagnosticContext(e);
                           return startsWith(context, msg::kRedundantKeptPrefix) ||
                                  startsWith(context, msg::kRedundantExitingPrefix);
                       }};
    }
    return std::nullopt;
}

int runCommand(Bus& bus, const std::string& verb, const std::vector<std::string>& args,
               const Options& options) {
    auto command = commandFor(verb, args, options);
    if (!command) {
        std::fprintf(stderr, "glimwick-ctl: cannot use \"%s\" that way; see --help\n",
                     verb.c_str());
        return 2;
    }
    double wait = options.wait;
    bool answered = false;
    bool refused = false;
    if (wait > 0) {
        bus.watchEvents([&](const Event& event) {
            printEvent(event);
            answered = answered || command->isAnswer(event);
            refused = refused || command->isRefusal(event);
        });
    }
    if (!bus.post(command->name, command->object)) {
        return 1;
    }
    if (wait <= 0) {
        return 0;
    }
    bus.runUntil([&] { return answered || refused; }, wait);
    return answered && !refused ? 0 : 1;
}

}  // namespace

// --app-pid is remembered as given, so that start can tell it from none.
gboolean onAppPID(const gchar*, const gchar* value, gpointer data, GError** error) {
    auto* options = static_cast<Options*>(data);
    if (!g_ascii_string_to_signed(value, 10, G_MININT64, G_MAXINT64, &options->appPID, error)) {
        return FALSE;
    }
    options->hasAppPID = TRUE;
    return TRUE;
}

int run(int argc, char** argv) {
    Options options;
    GOptionEntry entries[] = {
        {"count", 'n', 0, G_OPTION_ARG_INT, &options.count, "watch: stop after N events", "N"},
        {"timeout", 't', 0, G_OPTION_ARG_DOUBLE, &options.timeout, "watch: stop after SECONDS",
         "SECONDS"},
        {"readable", 'r', 0, G_OPTION_ARG_NONE, &options.readable,
         "watch: one short line per event, for a person", nullptr},
        {"app-pid", 'p', 0, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer>(&onAppPID),
         "start: the main app's process id (appPID)", "PID"},
        {"wait", 'w', 0, G_OPTION_ARG_DOUBLE, &options.wait,
         "commands: wait up to SECONDS for the answer (default 3; 0 posts without waiting)",
         "SECONDS"},
        {"version", 0, 0, G_OPTION_ARG_NONE, &options.version, "print the version and exit",
         nullptr},
        {}};
    std::unique_ptr<GOptionContext, decltype(&g_option_context_free)> context(
        g_option_context_new("COMMAND [ARGUMENT...]"), &g_option_context_free);
    GOptionGroup* group = g_option_group_new(nullptr, nullptr, nullptr, &options, nullptr);
    g_option_group_add_entries(group, entries);
    g_option_context_set_main_group(context.get(), group);
    g_option_context_set_summary(context.get(), kSummary);
    g_option_context_set_description(context.get(), kDescription);
    GError* raw = nullptr;
    if (!g_option_context_parse(context.get(), &argc, &argv, &raw)) {
        glimwick::os::GErrorPtr error(raw);
        std::fprintf(stderr, "glimwick-ctl: %s; see --help\n", error->message);
        return 2;
    }
    if (options.version) {
        std::printf("glimwick-ctl %s\n", GLIMWICK_VERSION);
        return 0;
    }
    if (argc < 2) {
        GCharPtr help(g_option_context_get_help(context.get(), TRUE, nullptr));
        std::fputs(help.get(), stderr);
        return 2;
    }
    std::string verb = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    Bus bus;
    if (!bus.connect()) {
        return 1;
    }
    if (verb == "watch" && args.empty()) {
        return watch(bus, options);
    }
    if (verb == "send" && !args.empty() && args.size() <= 2) {
        return bus.post(args[0], args.size() == 2 ? std::optional(args[1]) : std::nullopt) ? 0 : 1;
    }
    return runCommand(bus, verb, args, options);
}

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "glimwick-ctl: %s\n", error.what());
        return 2;
    }
}
