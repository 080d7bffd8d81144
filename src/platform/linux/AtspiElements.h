#pragma once

#include <memory>
#include <utility>

#include "platform/Accessibility.h"
#include "platform/linux/AtspiCalls.h"
#include "platform/linux/GObjectPtr.h"

namespace glimwick::os {

// The elements the bridge hands the logic.
struct AtspiElement : ax::Element {
    AtspiElement(GObjectPtr<AtspiAccessible> accessible, Pid pid)
        : accessible(std::move(accessible)), pid(pid) {}
    GObjectPtr<AtspiAccessible> accessible;  // null for an application not on the bus (yet)
    Pid pid;                                 // the process asked for, for such an application
};

struct SystemWide : ax::Element {};

// The focused element of an application read through its PRIMARY selection.
struct PrimaryElement : ax::Element {
    explicit PrimaryElement(Pid pid) : pid(pid) {}
    Pid pid;
};

inline ax::ElementRef elementFor(GObjectPtr<AtspiAccessible> accessible, Pid pid = 0) {
    return std::make_shared<AtspiElement>(std::move(accessible), pid);
}

inline const AtspiElement* atspiElement(const ax::ElementRef& element) {
    return dynamic_cast<const AtspiElement*>(element.get());
}

inline AtspiAccessible* accessibleOf(const ax::ElementRef& element) {
    const auto* atspi = atspiElement(element);
    return atspi != nullptr ? atspi->accessible.get() : nullptr;
}

}  // namespace glimwick::os
