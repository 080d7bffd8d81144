#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace glimwick::testing {

// Iterates the default main context until done() holds or the deadline passes.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

// A process's resident memory in KiB (VmRSS), or -1.
long residentKiB(pid_t pid);

// A process started by a test or benchmark, with its output in files. It leads its own process
// group, which is killed when it is dropped, so that what it started ends with it.
class ChildProcess {
public:
    // An empty value in env removes that variable. With withInput the child reads its stdin
    // from writeLine; otherwise it inherits ours.
    ChildProcess(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& env, bool withInput = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool started() const { return pid_ > 0; }
    const std::string& startError() const { return startError_; }
    std::string stdoutText() const;
    std::string stderrText() const;
    std::vector<std::string> stdoutLines() const;
    // Nullopt while running; the exit status once it has ended normally (-1 if by a signal).
    std::optional<int> exitStatus();
    bool waitForExit(std::chrono::milliseconds timeout);
    void kill(int signal);
    bool writeLine(const std::string& line);

private:
    pid_t pid_ = -1;
    int input_ = -1;
    std::optional<int> status_;
    std::string startError_;
    std::string stdoutPath_;
    std::string stderrPath_;
};

}  // namespace glimwick::testing
