#include "platform/x11/RingMask.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace lc::x11 {
namespace {

struct Span {
    int begin = 0, end = 0; // pixel columns [begin, end)
    bool empty() const { return end <= begin; }
    friend bool operator==(const Span&, const Span&) = default;
};

// Columns whose centres lie inside the rounded rectangle (x0, y0)–(x1, y1) with radius r on the
// row whose centre is yc.
Span rowSpan(double x0, double y0, double x1, double y1, double r, double yc, int width) {
    if (x1 <= x0 || y1 <= y0 || yc < y0 || yc > y1) return {};
    r = std::clamp(r, 0.0, std::min(x1 - x0, y1 - y0) / 2);
    double dx = r; // straight edges: the whole width
    if (yc < y0 + r || yc > y1 - r) {
        const double dy = yc < y0 + r ? y0 + r - yc : yc - (y1 - r);
        if (dy > r) return {};
        dx = std::sqrt(r * r - dy * dy);
    }
    const double a = x0 + r - dx, b = x1 - r + dx;
    Span s{int(std::ceil(a - 0.5)), int(std::floor(b - 0.5)) + 1};
    s.begin = std::clamp(s.begin, 0, width);
    s.end = std::clamp(s.end, 0, width);
    return s;
}

} // namespace

std::vector<IntRect> ringRectangles(int width, int height, double inset, double radius, double lineWidth) {
    std::vector<IntRect> out;
    if (width <= 0 || height <= 0 || !(lineWidth > 0)) return out;
    const double half = lineWidth / 2;
    const double oIn = inset - half, iIn = inset + half;
    const double oR = radius + half, iR = std::max(0.0, radius - half);

    std::vector<Span> previous;
    int bandStart = 0;
    auto flush = [&](int rowEnd) {
        for (const Span& s : previous)
            out.push_back({s.begin, bandStart, s.end - s.begin, rowEnd - bandStart});
    };
    for (int y = 0; y < height; ++y) {
        const double yc = y + 0.5;
        const Span outer = rowSpan(oIn, oIn, width - oIn, height - oIn, oR, yc, width);
        const Span inner = rowSpan(iIn, iIn, width - iIn, height - iIn, iR, yc, width);
        std::vector<Span> row;
        if (!outer.empty()) {
            if (inner.empty()) {
                row.push_back(outer);
            } else {
                if (inner.begin > outer.begin) row.push_back({outer.begin, std::min(inner.begin, outer.end)});
                if (inner.end < outer.end) row.push_back({std::max(inner.end, outer.begin), outer.end});
            }
        }
        if (row != previous) {
            flush(y);
            previous = std::move(row);
            bandStart = y;
        }
    }
    flush(height);
    return out;
}

} // namespace lc::x11
