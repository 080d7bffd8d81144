#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace glimwick::os {

// A notification name travels as a D-Bus signal: everything before the last dot is the
// interface, the rest the member ("com.corvala.helper.ping" -> com.corvala.helper, ping).
struct SignalName {
    std::string interface;
    std::string member;
};

// Nullopt when the halves are not a valid D-Bus interface and member name.
std::optional<SignalName> signalNameFor(std::string_view notificationName);

inline constexpr const char* kSignalObjectPath = "/";

}  // namespace glimwick::os
