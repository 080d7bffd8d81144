#pragma once

#include <algorithm>
#include <cmath>
#include <optional>

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

inline bool hasArea(const Rect& r) {
    return r.width > 0 && r.height > 0;
}

// The smallest rectangle holding both; for rectangles with area.
inline Rect unite(const Rect& a, const Rect& b) {
    double left = std::min(a.x, b.x);
    double top = std::min(a.y, b.y);
    return {left, top, std::max(a.x + a.width, b.x + b.width) - left,
            std::max(a.y + a.height, b.y + b.height) - top};
}

// What two rectangles with area share; nullopt when that has none.
inline std::optional<Rect> intersect(const Rect& a, const Rect& b) {
    double left = std::max(a.x, b.x);
    double top = std::max(a.y, b.y);
    double right = std::min(a.x + a.width, b.x + b.width);
    double bottom = std::min(a.y + a.height, b.y + b.height);
    if (right <= left || bottom <= top) {
        return std::nullopt;
    }
    return Rect{left, top, right - left, bottom - top};
}

}  // namespace glimwick
