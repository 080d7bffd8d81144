#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/NotificationCenter.h"

namespace glimwick {

using Json = nlohmann::json;

// The arguments of a command: its object must be a string holding a JSON object.
std::optional<Json> decodeArguments(const Notification& notification);

// Serializes payload compactly and posts it. False when it could not be encoded (text that is
// not valid UTF-8, a number JSON cannot write), in which case nothing is posted.
bool postJSON(NotificationCenter& center, const std::string& name, const Json& payload);

// A JSON number with a whole-number value inside [min, max]; booleans and strings are not
// numbers.
std::optional<std::int64_t> wholeNumber(const Json& value, std::int64_t min, std::int64_t max);

}  // namespace glimwick
