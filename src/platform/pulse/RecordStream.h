#pragma once
// One record stream from the server (a microphone, or one sink input through a monitor stream),
// delivered as 48 kHz stereo s16 chunks stamped on the host clock. Lives on its connection's
// loop: create, use and destroy it on the loop thread or with the connection's lock held.
#include "platform/Frame.h"
#include "platform/pulse/PulseConnection.h"
#include "platform/pulse/StreamClock.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace lc::pulse {

class RecordStream {
public:
    struct Options {
        std::string name;
        std::optional<std::string> device;         // source name or index; none = the server's default
        std::optional<std::uint32_t> monitorInput; // capture only this sink input
    };
    using OnChunk = std::function<void(AudioChunk)>;
    using OnFailed = std::function<void(int error)>; // a pa_error_code

    RecordStream(Connection& connection, OnChunk onChunk, OnFailed onFailed);
    ~RecordStream();
    RecordStream(const RecordStream&) = delete;
    RecordStream& operator=(const RecordStream&) = delete;

    // Starts connecting; the outcome arrives as chunks or as onFailed.
    bool connect(const Options& options);
    bool isReady() const;
    bool hasFailed() const { return failed_; }
    std::uint32_t index() const;

    const StreamClock& clock() const { return clock_; }

private:
    static void onRead(pa_stream* s, std::size_t bytes, void* self);
    static void onState(pa_stream* s, void* self);
    static void onTiming(pa_stream* s, int success, void* self);
    void requestTiming();
    void deliver();

    Connection& connection_;
    OnChunk onChunk_;
    OnFailed onFailed_;
    pa_stream* stream_ = nullptr;
    StreamClock clock_;
    std::int64_t frames_ = 0;        // frames consumed since the stream began
    std::vector<AudioChunk> held_;   // read but not yet stamped (hostTime = frame index)
    bool holding_ = true;            // wait for a timing observation newer than the held data
    pa_operation* timing_ = nullptr; // the pending timing request (owned reference)
    bool wantFresh_ = false;         // held data waits for an observation requested after it came
    bool answersHold_ = false;       // the pending request was sent after the data it releases
    double lastTimingRequest_ = -1;
    double lastArrival_ = -1;
    bool failed_ = false;
};

} // namespace lc::pulse
