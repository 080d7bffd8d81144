#pragma once

#include <glib.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "platform/linux/PrimarySelection.h"

namespace glimwick::os {

class SwayFocus;

// The Wayland primary selection, read through the compositor's data-control protocol
// (zwlr_data_control_manager_v1 from version 2, offered by wlroots compositors such as sway,
// and by KWin), as clipboard managers read it. Wayland lets only the client with the keyboard
// focus set it, so a new one is the front application's; the front application is the one
// sway names (SwayFocus). Its text is read on the main loop, never blocking it: one second
// and at most kMaxBytes, or nothing. Inert without a Wayland display or data-control.
class WaylandPrimary : public PrimarySelection {
public:
    static constexpr std::size_t kMaxBytes = std::size_t{16} << 20;
    static constexpr guint kReadLimitMs = 1000;

    // front is borrowed and outlives this object. Without wanted (an X display is there), or
    // a Wayland display, it stays inert.
    WaylandPrimary(SwayFocus& front, bool wanted);
    ~WaylandPrimary() override;
    WaylandPrimary(const WaylandPrimary&) = delete;
    WaylandPrimary& operator=(const WaylandPrimary&) = delete;

    bool available() const override;
    std::optional<Pid> focusedProcess() const override;
    std::optional<std::string> selectionOf(Pid pid) override;
    void focusMoved() override;
    std::uint64_t activeGeneration() const override;
    // Told once, at start, when the compositor offers no data-control.
    void setNotice(std::function<void(const std::string&)> notice);

    struct Wayland;

private:
    std::unique_ptr<Wayland> wayland_;
};

}  // namespace glimwick::os
