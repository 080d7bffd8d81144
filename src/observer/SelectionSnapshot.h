#pragma once

#include <string>

#include "platform/Geometry.h"

namespace glimwick {

// One reading of the selection: never empty text, and the bounds or the pointer rectangle.
struct SelectionSnapshot {
    std::string text;
    Rect rect;
    bool usesFallbackRect = false;
};

}  // namespace glimwick
