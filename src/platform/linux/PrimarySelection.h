#pragma once

#include <glib.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/ProcessInfo.h"

namespace glimwick::os {

// The desktop's primary selection: what the user last selected in any application, whether
// or not it is on the accessibility bus. X11's PRIMARY (X11Primary), or under Wayland what the
// compositor's data-control protocol shows (WaylandPrimary). Where accessibility sees no text
// in the front application, it stands in.
//
// Only what the front application set while in front, since the focus last moved, counts as
// selected: text that it already held when the user came to it is no selection made there.
// Whether what the selection holds counts as pid's selection: only what the process then in
// front set, while neither the front window nor the focus inside it has moved since.
class PrimaryClaim {
public:
    // Set anew by owner (0: unknown) while focused was in front, in the front window's
    // generation.
    void set(Pid owner, std::optional<Pid> focused, std::uint64_t generation) {
        owner_ = owner;
        fresh_ = owner > 0 && focused == owner;
        generation_ = generation;
    }
    void focusMoved() { fresh_ = false; }
    bool counts(Pid pid, std::uint64_t generation) const {
        return pid > 0 && pid == owner_ && fresh_ && generation == generation_;
    }

private:
    Pid owner_ = 0;
    bool fresh_ = false;
    std::uint64_t generation_ = 0;
};

class PrimarySelection {
public:
    // owner: the process that set (or last set) it, 0 when unknown.
    using Changed = std::function<void(Pid owner)>;

    virtual ~PrimarySelection() = default;

    virtual bool available() const = 0;
    // The process in front, as the display server says; nullopt when it names none.
    virtual std::optional<Pid> focusedProcess() const = 0;
    // What pid has selected: its text, "" when it holds none; nullopt while that is not known
    // (being read, failed or too large), when the selection is another process's, or when pid
    // did not set it in front since the focus last moved.
    virtual std::optional<std::string> selectionOf(Pid pid) = 0;
    // The keyboard focus moved inside an application (the display server sees only windows).
    virtual void focusMoved() = 0;
    // Counts the changes of the window in front.
    virtual std::uint64_t activeGeneration() const = 0;
    // Counts the selection's changes, whoever made them and whether or not its text could be
    // read: each is a sign that something was selected somewhere. And when the last was.
    std::uint64_t ownerChanges() const { return changes_; }
    gint64 ownerChangedAt() const { return changedAt_; }
    // Called on the main loop once a change is known (read, or given up).
    void setChangedHandler(Changed changed) { changed_ = std::move(changed); }

protected:
    // The selection has a new owner (or none): counted as it happens.
    void ownerChanged() {
        ++changes_;
        changedAt_ = g_get_monotonic_time();
    }
    void changed(Pid owner) const {
        if (changed_) {
            changed_(owner);
        }
    }

private:
    Changed changed_;
    std::uint64_t changes_ = 0;
    gint64 changedAt_ = 0;
};

}  // namespace glimwick::os
