#pragma once

#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/ProcessInfo.h"
#include "platform/linux/PrimarySelection.h"

namespace glimwick::os {

class X11Desktop;

// X11's PRIMARY selection (terminals, Tk, Motif, Java, browsers started without
// accessibility). XFixes says when its owner changes; then it is converted. Many owners keep
// PRIMARY while the user selects anew (Tk, AbiWord, Emacs, terminals), so while it stands in
// for the front application it is converted again right after each of the user's gestures (a
// button or key released, heard raw from XInput2: which key is never read), and now and then
// as a backstop. On the main loop, never blocking it: a conversion has one second and at most
// kMaxBytes, or gives nothing. Never asked of this process itself. Inert without an X display.
class X11Primary : public PrimarySelection {
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

    // desktop is borrowed and outlives this object.
    explicit X11Primary(X11Desktop& desktop);
    ~X11Primary() override;
    X11Primary(const X11Primary&) = delete;
    X11Primary& operator=(const X11Primary&) = delete;

    bool available() const override { return x11_ != nullptr; }
    // The process whose window X11 says is active.
    std::optional<Pid> focusedProcess() const override;
    // Asking makes PRIMARY stand in for pid until the active window changes: the user's
    // gestures are followed.
    std::optional<std::string> selectionOf(Pid pid) override;
    void focusMoved() override;
    std::uint64_t activeGeneration() const override;

    struct X11;

private:
    std::unique_ptr<X11> x11_;
};

}  // namespace glimwick::os
