#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "SimDesktop.h"
#include "SimMainQueue.h"
#include "platform/Platform.h"

namespace glimwick::sim {

struct Posted {
    std::string name;
    std::optional<std::string> object;
    nlohmann::json payload() const;  // null when absent or not JSON
};

// Delivers each notification to its observers through the main queue, as the real center does,
// and records every post.
class SimNotificationCenter : public NotificationCenter {
public:
    explicit SimNotificationCenter(SimMainQueue& queue) : queue_(queue) {}
    Token addObserver(const std::string& name, Block block) override;
    void removeObserver(Token token) override { observers_.erase(token); }
    void post(const std::string& name, const std::optional<std::string>& object) override {
        if (record) {
            posts.push_back({name, object});
        }
    }
    // A notification from another process (the main app).
    void deliver(const std::string& name, NotificationObject object = std::monostate{});
    std::vector<std::string> registeredNames() const;

    std::vector<Posted> posts;
    bool record = true;  // off for long runs, which would otherwise grow without end

private:
    SimMainQueue& queue_;
    std::map<Token, std::pair<std::string, std::shared_ptr<Block>>> observers_;
    Token nextToken_ = 1;
};

class SimProcessInfo : public ProcessInfo {
public:
    Pid pid = 4242;
    Pid ppid = 4200;
    std::vector<std::string> args{"/opt/Glimwick/glimwick"};
    std::string osVersion = "Version 14.5 (Build 23F79)";
    std::string bundle = "/opt/Glimwick";
    std::optional<std::string> bundleID = "com.corvala.glimwick";

    Pid processIdentifier() const override { return pid; }
    Pid parentProcessIdentifier() const override { return ppid; }
    std::vector<std::string> arguments() const override { return args; }
    std::string operatingSystemVersionString() const override { return osVersion; }
    std::string bundlePath() const override { return bundle; }
    std::optional<std::string> bundleIdentifier() const override { return bundleID; }
};

class SimConsole : public Console {
public:
    void writeLine(std::string_view line) override {
        if (record) {
            lines.emplace_back(line);
        }
    }
    std::vector<std::string> lines;
    bool record = true;
};

class SimWorkspace : public Workspace {
public:
    std::optional<RunningApplication> frontmost;
    Point pointer{};
    std::vector<std::string> openedURLs;

    std::optional<RunningApplication> frontmostApplication() override { return frontmost; }
    void openURL(const std::string& url) override { openedURLs.push_back(url); }
    Point mouseLocation() override { return pointer; }
};

// The whole simulated platform.
struct SimPlatform {
    Platform platform() {
        return Platform{queue, center, process, workspace, desktop, console, application};
    }
    void stopRecording() {
        center.record = false;
        console.record = false;
        desktop.recordCalls = false;
    }

    SimMainQueue queue;
    SimNotificationCenter center{queue};
    SimProcessInfo process;
    SimWorkspace workspace;
    SimDesktop desktop;
    SimConsole console;
    Application application{queue};
};

}  // namespace glimwick::sim
