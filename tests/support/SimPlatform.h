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

// Console lines and posts in the order they happened.
struct Journal {
    std::vector<std::string> entries;
};

struct Posted {
    std::string name;
    std::optional<std::string> object;
    // The object parsed as JSON (null when absent or not JSON).
    nlohmann::json payload() const;
};

// Delivers each notification to its observers through the main queue, as the real center does,
// and records every post.
class SimNotificationCenter : public NotificationCenter {
public:
    SimNotificationCenter(SimMainQueue& queue, Journal& journal)
        : queue_(queue), journal_(journal) {}

    Token addObserver(const std::string& name, Block block) override;
    void removeObserver(Token token) override;
    void post(const std::string& name, const std::optional<std::string>& object) override;

    // A notification from another process (the main app).
    void deliver(const std::string& name, NotificationObject object = std::monostate{});

    std::vector<Posted> posts;
    bool record = true;  // off for long runs, which would otherwise grow without end
    std::vector<std::string> registeredNames() const;
    std::vector<Token> liveTokens() const;

private:
    SimMainQueue& queue_;
    Journal& journal_;
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
    explicit SimConsole(Journal& journal) : journal_(journal) {}
    void writeLine(std::string_view line) override {
        if (record) {
            lines.emplace_back(line);
            journal_.entries.push_back("line " + std::string(line));
        }
    }
    std::vector<std::string> lines;
    bool record = true;

private:
    Journal& journal_;
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
class SimPlatform {
public:
    SimPlatform();

    Platform platform();
    // Stops recording posts, lines and accessibility calls.
    void stopRecording() {
        center.record = false;
        console.record = false;
        desktop.recordCalls = false;
    }

    Journal journal;
    SimMainQueue queue;
    SimNotificationCenter center{queue, journal};
    SimProcessInfo process;
    SimWorkspace workspace;
    SimDesktop desktop;
    SimConsole console{journal};
    Application application{queue};
};

}  // namespace glimwick::sim
