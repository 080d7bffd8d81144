#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>

namespace glimwick {

// An object that is present but is not a string (the transport may carry one).
struct NonStringObject {
    bool operator==(const NonStringObject&) const = default;
};

using NotificationObject = std::variant<std::monostate, std::string, NonStringObject>;

struct Notification {
    std::string name;
    NotificationObject object;
};

// The system-wide broadcast channel between the helper and the main app.
class NotificationCenter {
public:
    using Token = std::uint64_t;
    using Block = std::function<void(const Notification&)>;

    virtual ~NotificationCenter() = default;

    // Registers block for notifications of that name from any sender; the block runs on the
    // main queue.
    virtual Token addObserver(const std::string& name, Block block) = 0;
    virtual void removeObserver(Token token) = 0;
    // Posts at once, without user info. An absent object posts none.
    virtual void post(const std::string& name, const std::optional<std::string>& object) = 0;
};

}  // namespace glimwick
