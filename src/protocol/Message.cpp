#include "protocol/Message.h"

#include <cmath>

#include "common/Text.h"

namespace glimwick {

std::optional<Json> decodeArguments(const Notification& notification) {
    const auto* text = std::get_if<std::string>(&notification.object);
    if (text == nullptr) {
        return std::nullopt;
    }
    // The parser checks UTF-8 and does not recurse, so deep or malformed input is just an error.
    // Arguments are the top-level object's scalar members: any other container is skipped as
    // it is read, so that a megabyte of small values costs no memory.
    auto onlyTopLevelObject = [](int depth, Json::parse_event_t event, Json&) {
        return !(event == Json::parse_event_t::array_start ||
                 (event == Json::parse_event_t::object_start && depth > 0));
    };
    Json parsed = Json::parse(*text, onlyTopLevelObject, /*allow_exceptions=*/false);
    if (!parsed.is_object()) {
        return std::nullopt;
    }
    return parsed;
}

namespace {

bool hasUnwritableNumber(const Json& value) {
    if (value.is_number_float()) {
        return !std::isfinite(value.get<double>());
    }
    if (value.is_structured()) {
        for (const auto& item : value) {
            if (hasUnwritableNumber(item)) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace

bool postJSON(NotificationCenter& center, const std::string& name, const Json& payload) {
    if (hasUnwritableNumber(payload)) {
        return false;
    }
    std::string text;
    try {
        text = payload.dump(-1, ' ', false, Json::error_handler_t::strict);
    } catch (const Json::exception&) {
        return false;
    }
    center.post(name, text);
    return true;
}

std::optional<std::int64_t> wholeNumber(const Json& value, std::int64_t min, std::int64_t max) {
    if (value.is_number_integer()) {
        // Unsigned values above INT64_MAX cannot be in range; checking that first avoids a wrap.
        if (value.is_number_unsigned() &&
            value.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) {
            return std::nullopt;
        }
        auto n = value.get<std::int64_t>();
        return n >= min && n <= max ? std::optional(n) : std::nullopt;
    }
    if (value.is_number_float()) {
        double d = value.get<double>();
        if (!fitsInt64(d) || std::trunc(d) != d) {
            return std::nullopt;
        }
        auto n = truncateToInt64(d);
        return n >= min && n <= max ? std::optional(n) : std::nullopt;
    }
    return std::nullopt;
}

}  // namespace glimwick
