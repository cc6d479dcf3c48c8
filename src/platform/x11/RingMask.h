#pragma once
// The pixels of a stroked rounded rectangle, as the rectangles that shape an overlay window.
#include <vector>

namespace lc::x11 {

struct IntRect {
    int x = 0, y = 0, width = 0, height = 0;
    friend bool operator==(const IntRect&, const IntRect&) = default;
};

// Pixels (of a width × height window) whose centres lie within lineWidth / 2 of the rounded
// rectangle inset `inset` from the window's edges with corner radius `radius`. Rows with the
// same spans are merged, so the result is YX-banded and short for straight edges.
std::vector<IntRect> ringRectangles(int width, int height, double inset, double radius, double lineWidth);

} // namespace lc::x11
