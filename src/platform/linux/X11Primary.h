#pragma once

#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/ProcessInfo.h"

namespace glimwick::os {

class X11Desktop;

// The X11 PRIMARY selection: what the user last selected in any X11 application, whether or
// not it is on the accessibility bus (terminals, Tk, Motif, Java, browsers started without
// accessibility). XFixes says when its owner changes; then it is converted. Many owners keep
// PRIMARY while the user selects anew (Tk, AbiWord, Emacs, terminals), so while it stands in
// for the front application it is converted again right after each of the user's gestures (a
// button or key released, heard raw from XInput2: which key is never read), and now and then
// as a backstop. On the main loop, never blocking it: a conversion has one second and at most
// kMaxBytes, or gives nothing. Never asked of this process itself. Inert without an X display
// (Wayland).
//
// Only what the owner set while in front, since the focus last moved, counts as selected:
// text that PRIMARY already held when the user came to an application is no selection made
// there.
class X11Primary {
public:
    // Incremental transfers are followed up to this size; a larger selection gives nothing.
    static constexpr std::size_t kMaxBytes = std::size_t{16} << 20;
    static constexpr gint64 kConversionLimitUs = G_USEC_PER_SEC;
    // After a gesture the owner is asked once the burst is over (the two clicks of a
    // double-click are one gesture), which also lets it handle the release first.
    static constexpr guint kGestureQuietMs = 60;
    // The backstop: an owner's text is converted again as it is read at most every
    // kBackstopUs, while it answers and is not past kMaxBackstopBytes.
    static constexpr gint64 kBackstopUs = gint64{2} * G_USEC_PER_SEC;
    static constexpr std::size_t kMaxBackstopBytes = std::size_t{64} << 10;

    // owner: the process that owns (or last owned) PRIMARY, 0 when unknown.
    using Changed = std::function<void(Pid owner)>;

    // desktop is borrowed and outlives this object.
    explicit X11Primary(X11Desktop& desktop);
    ~X11Primary();
    X11Primary(const X11Primary&) = delete;
    X11Primary& operator=(const X11Primary&) = delete;

    bool available() const { return x11_ != nullptr; }
    // The process whose window X11 says is active; nullopt when it names none.
    std::optional<Pid> focusedProcess() const;
    // What pid has selected: its PRIMARY text, "" when it owns none; nullopt while that is
    // not known (a conversion under way, failed or too large), when PRIMARY belongs to
    // another process, or when pid did not set it in front since the focus last moved. Asking
    // makes PRIMARY stand in for pid until the active window changes: the user's gestures are
    // followed.
    std::optional<std::string> selectionOf(Pid pid);
    // The keyboard focus moved inside an application (X11 sees only windows change).
    void focusMoved();
    // Counts the changes of X11's active window.
    std::uint64_t activeGeneration() const;
    // Counts PRIMARY's owner changes, whoever made them and whether or not the text could be
    // converted: each is a sign that something was selected somewhere. And when the last was.
    std::uint64_t ownerChanges() const;
    gint64 ownerChangedAt() const;
    // Called on the main loop once a change of PRIMARY is known (converted, or given up).
    void setChangedHandler(Changed changed) { changed_ = std::move(changed); }

    struct X11;

private:
    Changed changed_;
    std::unique_ptr<X11> x11_;
};

}  // namespace glimwick::os
