#pragma once
// Pictures and sound as they travel between the platform back ends and the system's own code.
// No X11, PulseAudio or FFmpeg type appears here.
#include <cstdint>
#include <memory>
#include <vector>

namespace lc {

// One BGRA picture (8 bits a channel, opaque: alpha is 255). Captured frames are shared
// read-only between threads once delivered; `serial` tells two captures apart even when a
// pool hands out the same storage again.
struct BgraFrame {
    int width = 0;
    int height = 0;
    int stride = 0; // bytes per row
    std::uint8_t* data = nullptr;
    std::uint64_t serial = 0;
    double hostTime = 0; // uptime() of the capture, seconds

    // Storage owned by the frame (pools may instead point `data` at their own memory).
    std::vector<std::uint8_t> storage;

    static std::shared_ptr<BgraFrame> allocate(int width, int height) {
        auto f = std::make_shared<BgraFrame>();
        f->width = width;
        f->height = height;
        f->stride = ((width * 4) + 63) & ~63;
        f->storage.resize(std::size_t(f->stride) * std::size_t(height));
        f->data = f->storage.data();
        return f;
    }
    const std::uint8_t* row(int y) const { return data + std::ptrdiff_t(y) * stride; }
    std::uint8_t* row(int y) { return data + std::ptrdiff_t(y) * stride; }
};
using BgraFramePtr = std::shared_ptr<const BgraFrame>;

// Planar YUV 4:2:0, 8 bits, BT.709 limited range: what the encoders take and what the
// image-processing code writes into directly.
struct YuvFrame {
    int width = 0;  // even
    int height = 0; // even
    std::uint8_t* planes[3] = {nullptr, nullptr, nullptr};
    int strides[3] = {0, 0, 0};
    std::vector<std::uint8_t> storage;

    static std::shared_ptr<YuvFrame> allocate(int width, int height) {
        auto f = std::make_shared<YuvFrame>();
        f->width = width;
        f->height = height;
        const int ys = (width + 63) & ~63, cs = ((width / 2) + 63) & ~63;
        f->strides[0] = ys;
        f->strides[1] = f->strides[2] = cs;
        const std::size_t ySize = std::size_t(ys) * height, cSize = std::size_t(cs) * (height / 2);
        f->storage.resize(ySize + 2 * cSize);
        f->planes[0] = f->storage.data();
        f->planes[1] = f->planes[0] + ySize;
        f->planes[2] = f->planes[1] + cSize;
        return f;
    }
};
using YuvFramePtr = std::shared_ptr<YuvFrame>;

// Interleaved stereo signed 16-bit PCM at 48 kHz. `hostTime` is the uptime() of the first
// sample in seconds.
struct AudioChunk {
    static constexpr int sampleRate = 48000;
    static constexpr int channels = 2;
    std::vector<std::int16_t> samples; // frames × 2
    double hostTime = 0;

    std::size_t frameCount() const { return samples.size() / channels; }
};

} // namespace lc
