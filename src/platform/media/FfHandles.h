#pragma once
// Owning wrappers for the FFmpeg objects of this back end, and error texts.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
}

#include <memory>
#include <string>
#include <utility>

namespace lc::ff {

struct CodecContextDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;

struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

// An options dictionary; FFmpeg takes it by the address of its pointer.
class Dictionary {
public:
    Dictionary() = default;
    Dictionary(const Dictionary&) = delete;
    Dictionary& operator=(const Dictionary&) = delete;
    ~Dictionary() { av_dict_free(&d_); }
    void set(const char* key, const std::string& value) { av_dict_set(&d_, key, value.c_str(), 0); }
    AVDictionary** slot() { return &d_; }

private:
    AVDictionary* d_ = nullptr;
};

// An output format context with its file, closed (not deleted) on destruction.
class OutputContext {
public:
    OutputContext() = default;
    explicit OutputContext(AVFormatContext* c) : c_(c) {}
    OutputContext(OutputContext&& o) noexcept : c_(std::exchange(o.c_, nullptr)) {}
    OutputContext& operator=(OutputContext&&) = delete;
    OutputContext(const OutputContext&) = delete;
    OutputContext& operator=(const OutputContext&) = delete;
    ~OutputContext() { reset(); }

    AVFormatContext* get() const { return c_; }
    AVFormatContext* operator->() const { return c_; }
    explicit operator bool() const { return c_ != nullptr; }
    void closeFile() {
        if (c_ && c_->pb) avio_closep(&c_->pb);
    }
    void reset() {
        closeFile();
        if (c_) avformat_free_context(c_);
        c_ = nullptr;
    }

private:
    AVFormatContext* c_ = nullptr;
};

inline std::string errorText(int err) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, buf, sizeof buf);
    return buf;
}

} // namespace lc::ff
