#include "Processes.h"

#include <fcntl.h>
#include <glib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

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

long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

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
    auto ownGroup = [](gpointer) { setpgid(0, 0); };
    if (!g_spawn_async_with_fds(
            nullptr, args.data(), envp,
            static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_SEARCH_PATH), ownGroup,
            nullptr, &child, in, out, err, &error)) {
        startError_ = "cannot start " + argv[0] + ": " + error->message;
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

bool ChildProcess::writeLine(const std::string& line) {
    std::string text = line + "\n";
    return input_ >= 0 &&
           write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
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

}  // namespace glimwick::testing
