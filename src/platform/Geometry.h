#pragma once

#include <cmath>

namespace glimwick {

struct Point {
    double x = 0;
    double y = 0;
};

// Origin and size in screen points; width and height may be negative as returned.
struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
};

// The standardized-rectangle measures (a negative size extends toward lower coordinates).
inline double rectWidth(const Rect& r) {
    return std::fabs(r.width);
}
inline double rectHeight(const Rect& r) {
    return std::fabs(r.height);
}
inline double rectMinX(const Rect& r) {
    return r.width < 0 ? r.x + r.width : r.x;
}
inline double rectMinY(const Rect& r) {
    return r.height < 0 ? r.y + r.height : r.y;
}
inline double rectMaxY(const Rect& r) {
    return rectMinY(r) + rectHeight(r);
}
inline double rectMidX(const Rect& r) {
    return rectMinX(r) + rectWidth(r) / 2;
}
inline double rectMidY(const Rect& r) {
    return rectMinY(r) + rectHeight(r) / 2;
}

}  // namespace glimwick
