#pragma once

#include <atspi/atspi.h>

#include "platform/linux/AtspiCalls.h"
#include "platform/linux/GObjectPtr.h"

namespace glimwick::os {

// An object that event handlers replace. libatspi runs queued handlers at the end of any call
// it makes (its deferred dispatch), so a replacement can come in the middle of a caller's use:
// the object is handed out only as an owned reference, which the replacement never frees.
class EventHeld {
public:
    GObjectPtr<AtspiAccessible> get() const { return retained(object_.get()); }
    bool is(const AtspiAccessible* other) const { return object_.get() == other; }
    explicit operator bool() const { return static_cast<bool>(object_); }
    void set(AtspiAccessible* object) { object_ = retained(object); }
    void reset() { object_.reset(); }

private:
    GObjectPtr<AtspiAccessible> object_;
};

}  // namespace glimwick::os
