#pragma once
// Screen geometry in points with the origin at the top-left of the root window and y growing
// downwards. On X11 one point is one pixel (backing scale 1).
#include <algorithm>
#include <cmath>

namespace lc {

struct Point {
    double x = 0;
    double y = 0;
    friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
    double width = 0;
    double height = 0;
    friend bool operator==(const Size&, const Size&) = default;
};

struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    double minX() const { return x; }
    double minY() const { return y; }
    double maxX() const { return x + width; }
    double maxY() const { return y + height; }
    double midX() const { return x + width / 2; }
    double midY() const { return y + height / 2; }
    Point origin() const { return {x, y}; }
    Size size() const { return {width, height}; }
    bool isEmpty() const { return !(width > 0) || !(height > 0); }
    // Half-open, like the window server's hit test: the right and bottom edges are outside.
    bool contains(Point p) const { return p.x >= x && p.x < maxX() && p.y >= y && p.y < maxY(); }
    Rect intersected(const Rect& o) const {
        const double l = std::max(x, o.x), t = std::max(y, o.y);
        const double r = std::min(maxX(), o.maxX()), b = std::min(maxY(), o.maxY());
        if (r <= l || b <= t) return {};
        return {l, t, r - l, b - t};
    }
    Rect insetBy(double dx, double dy) const { return {x + dx, y + dy, width - 2 * dx, height - 2 * dy}; }
    friend bool operator==(const Rect&, const Rect&) = default;
};

} // namespace lc
