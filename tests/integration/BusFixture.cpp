#include "BusFixture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/linux/DBusNames.h"
#include "platform/linux/DBusNotificationCenter.h"

namespace glimwick::testing {

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string tempPath(const char* stem) {
    std::string pattern = std::string(g_get_tmp_dir()) + "/glimwick-" + stem + "-XXXXXX";
    int fd = g_mkstemp(pattern.data());
    if (fd >= 0) {
        close(fd);
    }
    return pattern;
}

}  // namespace

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        // Wake at least every 10 ms to look at conditions outside the main context (files, pids).
        guint tick = g_timeout_add(
            10, [](gpointer) { return G_SOURCE_REMOVE; }, nullptr);
        g_main_context_iteration(nullptr, TRUE);
        GSource* source = g_main_context_find_source_by_id(nullptr, tick);
        if (source != nullptr) {
            g_source_destroy(source);
        }
    }
    return true;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::map<std::string, std::string>& env, bool withInput)
    : stdoutPath_(tempPath("out")), stderrPath_(tempPath("err")) {
    int in = -1;
    if (withInput) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) == 0) {
            in = fds[0];
            input_ = fds[1];
        }
    }
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    gchar** envp = g_get_environ();
    for (const auto& [key, value] : env) {
        envp = value.empty() ? g_environ_unsetenv(envp, key.c_str())
                             : g_environ_setenv(envp, key.c_str(), value.c_str(), TRUE);
    }
    int out = open(stdoutPath_.c_str(), O_WRONLY | O_TRUNC);
    int err = open(stderrPath_.c_str(), O_WRONLY | O_TRUNC);
    GPid child = 0;
    GError* error = nullptr;
    // Each child leads its own process group, so that what it starts in turn ends with it.
    auto ownGroup = [](gpointer) { setpgid(0, 0); };
    if (!g_spawn_async_with_fds(
            nullptr, args.data(), envp,
            static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_SEARCH_PATH), ownGroup,
            nullptr, &child, in, out, err, &error)) {
        ADD_FAILURE() << "cannot start " << argv[0] << ": " << error->message;
        g_error_free(error);
        status_ = -1;
    } else {
        pid_ = child;
    }
    close(out);
    close(err);
    if (in >= 0) {
        close(in);
    }
    g_strfreev(envp);
}

void ChildProcess::writeLine(const std::string& line) {
    std::string text = line + "\n";
    ASSERT_EQ(write(input_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

ChildProcess::~ChildProcess() {
    if (input_ >= 0) {
        close(input_);
    }
    if (pid_ > 0) {
        ::kill(-pid_, SIGKILL);
        if (!exitStatus()) {
            waitForExit(std::chrono::seconds(10));
        }
    }
    std::remove(stdoutPath_.c_str());
    std::remove(stderrPath_.c_str());
}

std::string ChildProcess::stdoutText() const {
    return readFile(stdoutPath_);
}
std::string ChildProcess::stderrText() const {
    return readFile(stderrPath_);
}

std::vector<std::string> ChildProcess::stdoutLines() const {
    std::vector<std::string> lines;
    std::istringstream in(stdoutText());
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::optional<int> ChildProcess::exitStatus() {
    if (!status_ && pid_ > 0) {
        int raw = 0;
        if (waitpid(pid_, &raw, WNOHANG) == pid_) {
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        }
    }
    return status_;
}

bool ChildProcess::waitForExit(std::chrono::milliseconds timeout) {
    return waitUntil([&] { return exitStatus().has_value(); }, timeout);
}

void ChildProcess::kill(int signal) {
    if (pid_ > 0 && !exitStatus()) {
        ::kill(pid_, signal);
    }
}

void BusFixture::SetUp() {
    // The daemon prints its address on stdout once it listens.
    daemon_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"dbus-daemon", "--session", "--nofork", "--nopidfile",
                                 "--print-address=1"},
        std::map<std::string, std::string>{});
    ASSERT_TRUE(daemon_->started());
    ASSERT_TRUE(waitUntil([&] { return daemon_->stdoutText().find('\n') != std::string::npos; },
                          std::chrono::seconds(20)))
        << "dbus-daemon did not start: " << daemon_->stderrText();
    address_ = daemon_->stdoutText();
    address_.erase(address_.find('\n'));

    GError* error = nullptr;
    connection_.reset(g_dbus_connection_new_for_address_sync(
        address_.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error));
    ASSERT_TRUE(connection_) << error->message;
    g_dbus_connection_set_exit_on_close(connection_.get(), FALSE);

    subscription_ = g_dbus_connection_signal_subscribe(
        connection_.get(), nullptr, "com.corvala.app", nullptr, nullptr, nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const gchar* sender, const gchar*, const gchar* interface,
           const gchar* member, GVariant* parameters, gpointer self) {
            std::string name = std::string(interface) + "." + member;
            auto notification = os::DBusNotificationCenter::notificationFor(name, parameters);
            Event event{name, nullptr, sender != nullptr ? sender : ""};
            if (const auto* text = std::get_if<std::string>(&notification.object)) {
                auto parsed = nlohmann::json::parse(*text, nullptr, false);
                event.payload = parsed.is_discarded() ? nlohmann::json(nullptr) : parsed;
            }
            static_cast<BusFixture*>(self)->events_.push_back(std::move(event));
        },
        this, nullptr);
    // A round trip makes sure the match rule is in place before anything is posted.
    GVariant* reply = g_dbus_connection_call_sync(
        connection_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "GetId", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, nullptr);
    ASSERT_NE(reply, nullptr);
    g_variant_unref(reply);
}

void BusFixture::TearDown() {
    helpers_.clear();
    if (connection_) {
        g_dbus_connection_signal_unsubscribe(connection_.get(), subscription_);
        g_dbus_connection_close_sync(connection_.get(), nullptr, nullptr);
        connection_.reset();
    }
    // Let GDBus release what it still holds for the closed connection.
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    if (daemon_) {
        daemon_->kill(SIGTERM);
        daemon_->waitForExit(std::chrono::seconds(10));
        daemon_.reset();
    }
}

std::map<std::string, std::string> BusFixture::busEnvironment() const {
    return {{"DBUS_SESSION_BUS_ADDRESS", address_}};
}

ChildProcess& BusFixture::startHelper() {
    helpers_.push_back(std::make_unique<ChildProcess>(
        std::vector<std::string>{GLIMWICK_HELPER_PATH}, busEnvironment()));
    EXPECT_TRUE(helpers_.back()->started());
    return *helpers_.back();
}

void BusFixture::waitForHelperReady(const ChildProcess& helper) {
    pid_t pid = helper.pid();
    ASSERT_TRUE(waitUntil(
        [&] {
            auto contexts = diagnosticsOf(pid);
            return std::find(contexts.begin(), contexts.end(), "启动") != contexts.end();
        },
        std::chrono::seconds(20)))
        << "helper did not start; stderr: " << helper.stderrText();
}

void BusFixture::emit(const std::string& name, GVariant* body) {
    auto signal = os::signalNameFor(name);
    ASSERT_TRUE(signal) << name;
    GError* error = nullptr;
    g_dbus_connection_emit_signal(connection_.get(), nullptr, "/", signal->interface.c_str(),
                                  signal->member.c_str(), body, &error);
    ASSERT_EQ(error, nullptr) << error->message;
    g_dbus_connection_flush_sync(connection_.get(), nullptr, nullptr);
}

std::vector<Event> BusFixture::eventsNamed(const std::string& name) const {
    std::vector<Event> found;
    for (const auto& event : events_) {
        if (event.name == name) {
            found.push_back(event);
        }
    }
    return found;
}

std::vector<std::string> BusFixture::diagnosticsOf(pid_t pid) const {
    std::vector<std::string> contexts;
    for (const auto& event : eventsNamed("com.corvala.app.diagnostics")) {
        if (event.payload.is_object() && event.payload.value("pid", 0) == pid) {
            contexts.push_back(event.payload.value("context", ""));
        }
    }
    return contexts;
}

bool BusFixture::waitForEvent(const std::string& name, size_t count,
                              std::chrono::milliseconds timeout) {
    return waitUntil([&] { return eventsNamed(name).size() >= count; }, timeout);
}

bool BusFixture::waitForDiagnostic(const std::string& context, std::chrono::milliseconds timeout) {
    return waitUntil(
        [&] {
            for (const auto& event : eventsNamed("com.corvala.app.diagnostics")) {
                if (event.payload.is_object() && event.payload.value("context", "") == context) {
                    return true;
                }
            }
            return false;
        },
        timeout);
}

bool BusFixture::roundTrip() {
    size_t before = eventsNamed("com.corvala.app.pong").size();
    post("com.corvala.helper.ping", std::nullopt);
    return waitForEvent("com.corvala.app.pong", before + 1);
}

}  // namespace glimwick::testing
