#include "TestDesktop.h"

#include <filesystem>
#include <sstream>

#include "platform/linux/DBusNames.h"
#include "platform/linux/DBusNotificationCenter.h"

namespace glimwick::testing {

using namespace std::chrono_literals;

namespace {

std::string firstLine(const ChildProcess& process) {
    std::string out = process.stdoutText();
    auto end = out.find('\n');
    return end == std::string::npos ? std::string() : out.substr(0, end);
}

}  // namespace

std::string TestDesktop::start(const Options& options) {
    // The accessibility bus puts its socket here; a session's own keeps it from any other.
    GError* error = nullptr;
    gchar* dir = g_dir_make_tmp("glimwick-run-XXXXXX", &error);
    if (dir == nullptr) {
        std::string message = error->message;
        g_error_free(error);
        return message;
    }
    runtimeDir_ = dir;
    g_free(dir);

    if (options.display) {
        xvfb_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"Xvfb", "-displayfd", "1", "-screen", "0", "1280x1024x24",
                                     "-nolisten", "tcp", "-noreset"},
            std::map<std::string, std::string>{});
        if (!waitUntil([&] { return !firstLine(*xvfb_).empty() || xvfb_->exitStatus(); }, 30s) ||
            firstLine(*xvfb_).empty()) {
            return "Xvfb did not start: " + xvfb_->startError() + xvfb_->stderrText();
        }
        display_ = ":" + firstLine(*xvfb_);
    }

    daemon_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"dbus-daemon", "--session", "--nofork", "--nopidfile",
                                 "--print-address=1"},
        std::map<std::string, std::string>{});
    if (!waitUntil([&] { return !firstLine(*daemon_).empty() || daemon_->exitStatus(); }, 30s) ||
        firstLine(*daemon_).empty()) {
        return "dbus-daemon did not start: " + daemon_->startError() + daemon_->stderrText();
    }
    address_ = firstLine(*daemon_);

    if (options.monitor) {
        monitor_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"dbus-monitor", "--session"}, environment());
    }
    if (options.accessibility) {
        if (auto failed = startAccessibility(); !failed.empty()) {
            return failed;
        }
    }
    if (options.windowManager) {
        windowManager_ =
            std::make_unique<ChildProcess>(std::vector<std::string>{"openbox"}, environment());
    }
    return {};
}

std::string TestDesktop::startAccessibility() {
    launcher_ =
        std::make_unique<ChildProcess>(std::vector<std::string>{"/usr/libexec/at-spi-bus-launcher",
                                                                "--launch-immediately", "--a11y=1"},
                                       environment());
    BusClient probe;
    if (auto failed = probe.connect(address_); !failed.empty()) {
        return failed;
    }
    if (!waitUntil([&] { return probe.hasOwner("org.a11y.Bus"); }, 30s)) {
        return "the accessibility bus did not start: " + launcher_->stderrText();
    }
    return {};
}

void TestDesktop::stop() {
    // Clients first, then the services they use; each by its process group.
    windowManager_.reset();
    launcher_.reset();
    monitor_.reset();
    daemon_.reset();
    xvfb_.reset();
    if (!runtimeDir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(runtimeDir_, ignored);
        runtimeDir_.clear();
    }
}

std::map<std::string, std::string> TestDesktop::environment() const {
    return {{"DBUS_SESSION_BUS_ADDRESS", address_},
            {"DISPLAY", display_},
            {"GDK_BACKEND", "x11"},
            {"NO_AT_BRIDGE", ""},
            {"AT_SPI_BUS_ADDRESS", ""},
            {"XDG_RUNTIME_DIR", runtimeDir_}};
}

std::string BusClient::connect(const std::string& address) {
    GError* error = nullptr;
    os::GObjectPtr<GDBusConnection> connection(g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error));
    if (!connection) {
        os::GErrorPtr owned(error);
        return owned->message;
    }
    connection_.reset(G_DBUS_CONNECTION(g_object_ref(connection.get())));
    center_.emplace(std::move(connection));
    center_->addInterfaceObserver(
        "com.corvala.app.", [this](const Notification& notification, const std::string& sender) {
            Event event{notification.name, nullptr, std::chrono::steady_clock::now(), sender};
            if (const auto* text = std::get_if<std::string>(&notification.object)) {
                auto parsed = nlohmann::json::parse(*text, nullptr, false);
                event.payload = parsed.is_discarded() ? nlohmann::json(nullptr) : parsed;
            }
            events.push_back(std::move(event));
        });
    return {};
}

BusClient::~BusClient() {
    center_.reset();
    if (connection_) {
        g_dbus_connection_close_sync(connection_.get(), nullptr, nullptr);
        connection_.reset();
    }
    // Let GDBus release what it still holds for the closed connection.
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
}

bool BusClient::hasOwner(const std::string& name) {
    GVariant* reply = g_dbus_connection_call_sync(
        connection_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "NameHasOwner", g_variant_new("(s)", name.c_str()), G_VARIANT_TYPE("(b)"),
        G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, nullptr);
    gboolean owned = FALSE;
    if (reply != nullptr) {
        g_variant_get(reply, "(b)", &owned);
        g_variant_unref(reply);
    }
    return owned == TRUE;
}

void BusClient::emit(const std::string& name, GVariant* body, bool flush) {
    auto signal = os::signalNameFor(name);
    if (!signal) {
        if (body != nullptr) {
            g_variant_unref(g_variant_ref_sink(body));
        }
        return;
    }
    g_dbus_connection_emit_signal(connection_.get(), nullptr, "/", signal->interface.c_str(),
                                  signal->member.c_str(), body, nullptr);
    if (name == "com.corvala.helper.ping") {
        ++pingsSent_;
    }
    if (flush) {
        this->flush();
    }
}

void BusClient::flush() {
    g_dbus_connection_flush_sync(connection_.get(), nullptr, nullptr);
}

std::vector<Event> BusClient::eventsNamed(const std::string& name) const {
    std::vector<Event> found;
    for (const auto& event : events) {
        if (event.name == name) {
            found.push_back(event);
        }
    }
    return found;
}

size_t BusClient::countOf(const std::string& name) const {
    size_t n = 0;
    for (const auto& event : events) {
        n += event.name == name ? 1 : 0;
    }
    return n;
}

std::vector<std::string> BusClient::diagnosticsOf(pid_t pid) const {
    std::vector<std::string> contexts;
    for (const auto& event : events) {
        if (event.name == "com.corvala.app.diagnostics" && event.payload.is_object() &&
            event.payload.value("pid", 0) == pid) {
            contexts.push_back(event.payload.value("context", ""));
        }
    }
    return contexts;
}

bool BusClient::waitForEvent(const std::string& name, size_t count,
                             std::chrono::milliseconds timeout) {
    return waitUntil([&] { return countOf(name) >= count; }, timeout);
}

bool BusClient::waitForDiagnostic(const std::string& context, std::chrono::milliseconds timeout) {
    return waitUntil(
        [&] {
            for (const auto& event : events) {
                if (event.name == "com.corvala.app.diagnostics" && event.payload.is_object() &&
                    event.payload.value("context", "") == context) {
                    return true;
                }
            }
            return false;
        },
        timeout);
}

bool BusClient::roundTrip() {
    post("com.corvala.helper.ping", std::nullopt);
    return waitForEvent("com.corvala.app.pong", pingsSent_);
}

FixtureWindow::FixtureWindow(const std::vector<std::string>& argv,
                             const std::map<std::string, std::string>& env)
    : process_(argv, env, /*withInput=*/true) {
    waitUntil(
        [&] {
            std::string out = process_.stdoutText();
            auto at = out.find("ready ");
            if (at == std::string::npos || out.find('\n', at) == std::string::npos) {
                return process_.exitStatus().has_value();
            }
            xid_ = std::stoul(out.substr(at + 6));
            return true;
        },
        30s);
}

std::optional<std::string> FixtureWindow::command(const std::string& line) {
    if (!process_.writeLine(line)) {
        return std::nullopt;
    }
    ++answers_;
    std::string answer;
    bool answered = waitUntil(
        [&] {
            auto lines = process_.stdoutLines();
            if (lines.size() < answers_ + 1) {  // the first line is "ready"
                return false;
            }
            answer = lines[answers_];
            return true;
        },
        15s);
    if (!answered || answer.rfind("ok", 0) != 0) {
        return std::nullopt;
    }
    return answer.size() > 3 ? answer.substr(3) : std::string();
}

Rect FixtureWindow::extents(const std::string& widget, int start, int end) {
    auto answer =
        command("extents " + widget + " " + std::to_string(start) + " " + std::to_string(end));
    std::istringstream in(answer.value_or(""));
    Rect rect;
    in >> rect.x >> rect.y >> rect.width >> rect.height;
    return rect;
}

bool FixtureWindow::activate(const std::map<std::string, std::string>& env) {
    std::string xid = std::to_string(xid_);
    return waitUntil(
        [&] {
            ChildProcess activate({"xdotool", "windowactivate", "--sync", xid}, env);
            activate.waitForExit(10s);
            ChildProcess query({"xdotool", "getactivewindow"}, env);
            query.waitForExit(10s);
            return query.stdoutText() == xid + "\n";
        },
        30s);
}

}  // namespace glimwick::testing
