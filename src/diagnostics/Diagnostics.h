#pragma once

#include <string_view>

#include "platform/Platform.h"
#include "protocol/Message.h"

namespace glimwick {

enum class LogLevel { debug, info, warn, error };

std::string_view levelName(LogLevel level);

// The seven-key diagnostics payload, with the process facts gathered afresh.
Json diagnosticsPayload(const ProcessInfo& process, std::string_view context);

// A diagnostics notification only (the command service's way of reporting).
void postDiagnostic(const Platform& platform, std::string_view message);

// A console line, preceded above debug by a diagnostics notification (the observer's way).
void logMessage(const Platform& platform, LogLevel level, std::string_view message);

// The first element of the argument list, or "unknown".
std::string executablePath(const ProcessInfo& process);

}  // namespace glimwick
