#include "diagnostics/Diagnostics.h"

#include "diagnostics/Messages.h"
#include "protocol/Catalogue.h"

namespace glimwick {

std::string_view levelName(LogLevel level) {
    switch (level) {
        case LogLevel::debug:
            return "DEBUG";
        case LogLevel::info:
            return "INFO";
        case LogLevel::warn:
            return "WARN";
        case LogLevel::error:
            return "ERROR";
    }
    return "INFO";
}

std::string executablePath(const ProcessInfo& process) {
    auto arguments = process.arguments();
    return arguments.empty() ? std::string(keys::kUnknown) : arguments.front();
}

Json diagnosticsPayload(const ProcessInfo& process, std::string_view context) {
    auto bundleID = process.bundleIdentifier();
    return Json{
        {keys::kContext, context},
        {keys::kPid, process.processIdentifier()},
        {keys::kPpid, process.parentProcessIdentifier()},
        {keys::kExecPath, executablePath(process)},
        {keys::kBundlePath, process.bundlePath()},
        {keys::kBundleID, bundleID ? *bundleID : std::string(keys::kNil)},
        {keys::kMacOS, process.operatingSystemVersionString()},
    };
}

void postDiagnostic(const Platform& platform, std::string_view message) {
    postJSON(platform.notificationCenter, names::kDiagnostics,
             diagnosticsPayload(platform.process, message));
}

void logMessage(const Platform& platform, LogLevel level, std::string_view message) {
    std::string line = msg::consoleLine(levelName(level), message);
    if (level != LogLevel::debug) {
        postJSON(platform.notificationCenter, names::kDiagnostics,
                 diagnosticsPayload(platform.process, msg::observerContext(message)));
    }
    platform.console.writeLine(line);
}

}  // namespace glimwick
