#pragma once
// Draws one frame of the final video: a clip's picture fitted into the output frame by the
// recorder's own blur fill (BlurFill::renderYuv), a cross-dissolve
// between two clips, or the plain near-black background when a clip has no picture.
// Works on I420 planes throughout, straight into the encoder's frames.
#include "platform/Frame.h"

namespace lc {

class FocusCompositor {
public:
    // Output frames of width × height (both even).
    FocusCompositor(int width, int height) : width_(width), height_(height) {}

    int width() const { return width_; }
    int height() const { return height_; }

    // `from` dissolving into `to` at `progress` (0: `from` alone, 1: `to` alone). Either may be
    // missing: a missing `from` is the background; a missing `to` means no dissolve. Safe to
    // call from several threads at once (scratch memory is per thread).
    void compose(const YuvFrame* from, const YuvFrame* to, double progress, YuvFrame& dst) const;

    // `src` over the whole of `dst`: stretched when the shapes agree, otherwise fitted and
    // centred over a blurred enlargement of itself.
    void layout(const YuvFrame& src, YuvFrame& dst) const;

    // True when `src` goes out unchanged (same size as the output), so a hold can hand the
    // decoded picture to the encoder as it is.
    bool passesThrough(const YuvFrame& src) const { return src.width == width_ && src.height == height_; }

    // The background of a frame with no picture: red, green and blue 0.05.
    static void fillBackground(YuvFrame& dst);

private:
    int width_;
    int height_;
};

} // namespace lc
