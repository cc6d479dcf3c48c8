#include "platform/pulse/RecordStream.h"

#include "common/Clock.h"

#include <ctime>

namespace lc::pulse {

namespace {
constexpr int kRate = AudioChunk::sampleRate;
constexpr int kFrameBytes = 4;
constexpr double kTimingInterval = 0.1; // seconds between timing observations
constexpr double kGap = 0.05;           // data after this long a silence waits for a fresh observation
constexpr double kFragment = 0.01;      // seconds per delivered fragment

// The server's timestamps are wall-clock (CLOCK_REALTIME); ours are CLOCK_MONOTONIC.
double monotonicFrom(const timeval& wall) {
    timespec r{}, m{};
    clock_gettime(CLOCK_REALTIME, &r);
    clock_gettime(CLOCK_MONOTONIC, &m);
    const double offset =
        (double(r.tv_sec) - double(m.tv_sec)) + (double(r.tv_nsec) - double(m.tv_nsec)) * 1e-9;
    return double(wall.tv_sec) + double(wall.tv_usec) * 1e-6 - offset;
}
} // namespace

RecordStream::RecordStream(Connection& connection, OnChunk onChunk, OnFailed onFailed)
    : connection_(connection), onChunk_(std::move(onChunk)), onFailed_(std::move(onFailed)) {}

RecordStream::~RecordStream() {
    if (timing_) {
        if (pa_operation_get_state(timing_) == PA_OPERATION_RUNNING) pa_operation_cancel(timing_);
        pa_operation_unref(timing_);
    }
    if (stream_) {
        // A late callback must never reach a destroyed object.
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_set_read_callback(stream_, nullptr, nullptr);
        if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_)) && !connection_.failed())
            pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
    }
}

bool RecordStream::connect(const Options& options) {
    const pa_sample_spec sampleSpec{PA_SAMPLE_S16LE, kRate, 2};
    pa_channel_map map;
    pa_channel_map_init_stereo(&map);
    stream_ = pa_stream_new(connection_.context(), options.name.c_str(), &sampleSpec, &map);
    if (!stream_) return false;
    if (options.monitorInput && pa_stream_set_monitor_stream(stream_, *options.monitorInput) < 0)
        return false;
    pa_stream_set_state_callback(stream_, &RecordStream::onState, this);
    pa_stream_set_read_callback(stream_, &RecordStream::onRead, this);

    pa_buffer_attr attr;
    attr.maxlength = std::uint32_t(-1);
    attr.tlength = attr.prebuf = attr.minreq = std::uint32_t(-1);
    attr.fragsize = std::uint32_t(pa_usec_to_bytes(pa_usec_t(kFragment * 1e6), &sampleSpec));
    auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY);
    // A chosen device that goes away ends the stream rather than letting the server move it
    // to another one; a monitored sink input that moves ends it too (the owner reattaches).
    if (options.device) flags = pa_stream_flags_t(flags | PA_STREAM_DONT_MOVE);
    return pa_stream_connect_record(stream_, options.device ? options.device->c_str() : nullptr, &attr,
                                    flags) == 0;
}

bool RecordStream::isReady() const {
    return stream_ && pa_stream_get_state(stream_) == PA_STREAM_READY;
}

std::uint32_t RecordStream::index() const {
    return stream_ ? pa_stream_get_index(stream_) : PA_INVALID_INDEX;
}

void RecordStream::onState(pa_stream* s, void* userdata) {
    auto* self = static_cast<RecordStream*>(userdata);
    self->connection_.signal();
    switch (pa_stream_get_state(s)) {
    case PA_STREAM_READY:
        self->requestTiming();
        break;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED:
        if (!self->failed_) {
            self->failed_ = true;
            // Stop the callbacks now: the owner may destroy this object from onFailed.
            pa_stream_set_state_callback(s, nullptr, nullptr);
            pa_stream_set_read_callback(s, nullptr, nullptr);
            const int error = pa_context_errno(pa_stream_get_context(s));
            if (self->onFailed_) self->onFailed_(error);
        }
        break;
    default:
        break;
    }
}

void RecordStream::onRead(pa_stream* s, std::size_t, void* userdata) {
    auto* self = static_cast<RecordStream*>(userdata);
    AudioChunk chunk;
    chunk.hostTime = double(self->frames_);
    auto finishChunk = [&] {
        if (!chunk.samples.empty()) self->held_.push_back(std::move(chunk));
        chunk = AudioChunk{};
        chunk.hostTime = double(self->frames_);
    };
    while (pa_stream_readable_size(s) > 0) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) break;
        const std::size_t frames = bytes / kFrameBytes;
        if (data) {
            const auto* p = static_cast<const std::int16_t*>(data);
            chunk.samples.insert(chunk.samples.end(), p, p + frames * 2);
            self->frames_ += std::int64_t(frames);
        } else {
            // A hole: the server lost data here. Keep the count so later stamps stay right.
            finishChunk();
            self->frames_ += std::int64_t(frames);
            chunk.hostTime = double(self->frames_);
        }
        pa_stream_drop(s);
    }
    finishChunk();

    const double now = uptime();
    const bool afterGap = self->lastArrival_ >= 0 && now - self->lastArrival_ > kGap;
    self->lastArrival_ = now;
    if (!self->clock_.ready() || afterGap) self->holding_ = true;
    // Held sound is released only by an observation asked for after it arrived.
    if (self->holding_ && !self->answersHold_) self->wantFresh_ = true;
    if (!self->timing_ && (self->wantFresh_ || now - self->lastTimingRequest_ >= kTimingInterval))
        self->requestTiming();

    // Should the server never answer, stamp by arrival rather than hold sound forever.
    if (self->holding_ && !self->held_.empty()) {
        const double heldFrames = double(self->frames_) - self->held_.front().hostTime;
        if (heldFrames > 0.5 * kRate) {
            if (!self->clock_.ready()) self->clock_.observe(now, double(self->frames_));
            self->holding_ = false;
        }
    }
    self->deliver();
}

void RecordStream::requestTiming() {
    if (!stream_ || timing_) return;
    lastTimingRequest_ = uptime();
    answersHold_ = wantFresh_;
    wantFresh_ = false;
    timing_ = pa_stream_update_timing_info(stream_, &RecordStream::onTiming, this);
}

void RecordStream::onTiming(pa_stream* s, int success, void* userdata) {
    auto* self = static_cast<RecordStream*>(userdata);
    if (self->timing_) {
        pa_operation_unref(self->timing_);
        self->timing_ = nullptr;
    }
    const pa_timing_info* info = success ? pa_stream_get_timing_info(s) : nullptr;
    if (info && !info->write_index_corrupt) {
        // At `timestamp` the server had queued `write_index` bytes; the source still held
        // `source_usec` of captured sound, and for a monitor the sink had `sink_usec` of it yet
        // to play. So the frame being captured (played, for a monitor) then was:
        double position = double(info->write_index) / kFrameBytes;
        if (!pa_stream_is_suspended(s))
            position += (double(info->source_usec) - double(info->sink_usec)) * kRate / 1e6;
        self->clock_.observe(monotonicFrom(info->timestamp), position);
    }
    if (self->answersHold_) {
        self->answersHold_ = false;
        if (self->clock_.ready()) self->holding_ = false;
    }
    if (self->wantFresh_) self->requestTiming();
    self->deliver();
}

void RecordStream::deliver() {
    if (holding_ || !clock_.ready() || held_.empty()) return;
    auto chunks = std::move(held_);
    held_.clear();
    for (auto& c : chunks) {
        c.hostTime = clock_.stamp(std::int64_t(c.hostTime));
        if (onChunk_) onChunk_(std::move(c));
    }
}

} // namespace lc::pulse
