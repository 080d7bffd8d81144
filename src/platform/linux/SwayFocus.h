#pragma once

#include <glib.h>

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Geometry.h"
#include "platform/ProcessInfo.h"
#include "platform/linux/UniqueFd.h"

namespace glimwick::os {

// The window in front as sway (and compositors that speak its IPC) knows it, whatever its
// client shows accessibility: its process and place. Kept from the compositor's window
// events, read on the main loop, so asking costs nothing. Inert without $SWAYSOCK.
class SwayFocus {
public:
    SwayFocus();
    ~SwayFocus();
    SwayFocus(const SwayFocus&) = delete;
    SwayFocus& operator=(const SwayFocus&) = delete;

    bool available() const { return static_cast<bool>(fd_); }

    struct Focused {
        long id = 0;  // the compositor's, for the window
        Pid pid = 0;
        std::string appId;
        Rect rect;  // on screen
    };
    std::optional<Focused> focused() const { return focused_; }
    // Asks sway again where the window in front is (its decorations come a moment after it
    // does, and sway tells of no move they make), waiting up to waitMs for the answer.
    void refresh(int waitMs);
    // Counts the changes of the window in front.
    std::uint64_t generation() const { return generation_; }

    // One message of sway's IPC, as sent: "i3-ipc", length, type, payload.
    static std::string message(std::uint32_t type, const std::string& payload);

private:
    void readable();
    void take(std::uint32_t type, const std::string& payload);
    void focus(std::optional<Focused> now);

    UniqueFd fd_;
    guint watch_ = 0;
    std::string buffer_;
    std::optional<Focused> focused_;
    std::uint64_t generation_ = 0;
    std::uint64_t trees_ = 0;  // trees taken
};

}  // namespace glimwick::os
