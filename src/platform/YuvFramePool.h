#pragma once
// A small pool of I420 frames of one size. A frame is free again once nobody but the pool
// holds it, so producers compose straight into pooled memory and simply drop their reference
// when the consumer (an encoder queue, a one-entry cache) is done with it.
#include "platform/Frame.h"

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace lc {

class YuvFramePool {
public:
    YuvFramePool(int width, int height, std::size_t capacity)
        : width_(width), height_(height), capacity_(capacity) {}

    int width() const { return width_; }
    int height() const { return height_; }

    // A frame nobody else holds, or nullptr when all `capacity` frames are in use.
    YuvFramePtr acquire() {
        std::lock_guard lock(mutex_);
        for (auto& f : frames_)
            if (f.use_count() == 1) return f;
        if (frames_.size() >= capacity_) return nullptr;
        frames_.push_back(YuvFrame::allocate(width_, height_));
        return frames_.back();
    }

private:
    const int width_;
    const int height_;
    const std::size_t capacity_;
    std::mutex mutex_;
    std::vector<YuvFramePtr> frames_;
};

} // namespace lc
