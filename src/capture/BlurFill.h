#pragma once
// Fits a captured frame into an output frame of a fixed size: stretched when the shapes agree
// within 3 pixels, otherwise fitted and centred over a blurred, enlarged copy of itself.
// Renders straight into I420 planes (BT.709 limited range, the encoders' format).
#include "platform/Frame.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace lc {

// The geometry of one composition, for any source and output size.
struct BlurFillLayout {
    int outWidth = 0;  // W
    int outHeight = 0; // H

    // True: the source is scaled by (W / w, H / h) to fill the frame; nothing else is drawn.
    bool stretch = false;

    // Foreground: the source scaled to fgWidth × fgHeight, placed at (fgX, fgY) in the output.
    int fgX = 0;
    int fgY = 0;
    int fgWidth = 0;
    int fgHeight = 0;

    // Background (when !stretch), worked at one sixth of the output size: the source scaled to
    // coverWidth × coverHeight (the cover scale c / 6) and placed at (coverX, coverY) in a
    // smallWidth × smallHeight canvas (W / 6 × H / 6) whose edges are clamped, blurred with
    // `sigma` and enlarged six times to W × H.
    double smallWidth = 0;
    double smallHeight = 0;
    double coverWidth = 0;
    double coverHeight = 0;
    double coverX = 0;
    double coverY = 0;
    double sigma = 6;

    double fitScale = 0;   // s = min(W / w, H / h)
    double coverScale = 0; // c = max(W / w, H / h)
};

class BlurFill {
public:
    // Where compose gets its output frames (an encoder's pool). nullptr from it means none free.
    using FrameSource = std::function<YuvFramePtr()>;

    // Output frames of width × height (both even). Without a source, BlurFill keeps a small pool.
    BlurFill(int width, int height, FrameSource source = {});
    ~BlurFill();
    BlurFill(const BlurFill&) = delete;
    BlurFill& operator=(const BlurFill&) = delete;

    int width() const { return width_; }
    int height() const { return height_; }

    // The geometry of a w × h source in a W × H output (pure; also used by the exporter).
    static BlurFillLayout layout(int w, int h, int W, int H);

    // The composed output of `src`. The same source frame (same object and serial) as last time
    // gives the same output frame again without rendering. nullptr when no output frame is free.
    YuvFramePtr compose(const BgraFramePtr& src);

    // Renders `src` into `dst` (any size; its own width and height are the output size) with no
    // cache. Scratch memory is kept between calls; one caller at a time.
    void render(const BgraFrame& src, YuvFrame& dst);

    // The same composition of a picture already in I420 (the exporter's decoded clips), so that
    // the final video's fill matches the recordings'. Scratch memory is per thread: callers may
    // render on several threads at once.
    static void renderYuv(const YuvFrame& src, YuvFrame& dst);

    // Renders done by compose so far (cache hits excluded).
    std::uint64_t renderCount() const { return renders_; }

private:
    struct Scratch;
    int width_;
    int height_;
    FrameSource source_;
    std::unique_ptr<Scratch> scratch_;
    const BgraFrame* lastSrc_ = nullptr;
    std::uint64_t lastSerial_ = 0;
    BgraFramePtr lastSrcRef_;
    YuvFramePtr lastOut_;
    std::uint64_t renders_ = 0;
};

} // namespace lc
