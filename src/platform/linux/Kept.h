#pragma once

#include <glib.h>

#include <cstdint>

namespace glimwick::os {

// An answer kept from an application (its front window, its focus, a reading of its selection)
// is given again without asking while the events that would say it changed are the ones
// counted when it was kept, and not past its lifetime: applications announce less than they
// should.
struct Kept {
    std::uint64_t events = 0;
    gint64 until = 0;

    static Kept of(std::uint64_t events, gint64 now, gint64 lifetime) {
        return {events, now + lifetime};
    }
    bool holds(std::uint64_t heard, gint64 now) const { return heard == events && now < until; }
};

}  // namespace glimwick::os
