// Test sound source: plays silence, then a square wave that starts at a known sample, and prints
// the uptime at which that first sample was played, measured on the playback side from the
// server's timing reports (independent of the capture side under test).
//
//   audio-onset-player [--lead SECONDS] [--burst SECONDS] [--hz HZ] [--sink NAME]
// Output: "onset <uptime seconds>" once the burst has been played, then exit 0.
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

double monotonicNow() {
    timespec m{};
    clock_gettime(CLOCK_MONOTONIC, &m);
    return double(m.tv_sec) + double(m.tv_nsec) * 1e-9;
}

double monotonicFrom(const timeval& wall) {
    timespec r{}, m{};
    clock_gettime(CLOCK_REALTIME, &r);
    clock_gettime(CLOCK_MONOTONIC, &m);
    const double offset =
        (double(r.tv_sec) - double(m.tv_sec)) + (double(r.tv_nsec) - double(m.tv_nsec)) * 1e-9;
    return double(wall.tv_sec) + double(wall.tv_usec) * 1e-6 - offset;
}

struct State {
    pa_threaded_mainloop* loop = nullptr;
    std::vector<double> starts; // estimates of the uptime at which stream frame 0 was played
};

// The loop, the context and the stream, released in the right order whatever way main() ends.
struct Connection {
    pa_threaded_mainloop* loop = pa_threaded_mainloop_new();
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    ~Connection() {
        pa_threaded_mainloop_lock(loop);
        if (stream) {
            pa_stream_set_state_callback(stream, nullptr, nullptr);
            pa_stream_disconnect(stream);
            pa_stream_unref(stream);
        }
        if (context) {
            pa_context_set_state_callback(context, nullptr, nullptr);
            pa_context_disconnect(context);
        }
        pa_threaded_mainloop_unlock(loop);
        pa_threaded_mainloop_stop(loop);
        if (context) pa_context_unref(context);
        pa_threaded_mainloop_free(loop);
    }
};

struct Lock {
    pa_threaded_mainloop* loop;
    explicit Lock(pa_threaded_mainloop* l) : loop(l) { pa_threaded_mainloop_lock(loop); }
    ~Lock() { pa_threaded_mainloop_unlock(loop); }
};

} // namespace

int main(int argc, char** argv) {
    double lead = 0.6, burst = 0.3, hz = 1000;
    const char* sink = nullptr;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--lead")
            lead = std::atof(argv[i + 1]);
        else if (a == "--burst")
            burst = std::atof(argv[i + 1]);
        else if (a == "--hz")
            hz = std::atof(argv[i + 1]);
        else if (a == "--sink")
            sink = argv[i + 1];
        else {
            std::fprintf(stderr, "audio-onset-player: unknown option %s\n", a.c_str());
            return 2;
        }
    }
    constexpr int rate = 48000;
    const auto leadFrames = std::int64_t(lead * rate), burstFrames = std::int64_t(burst * rate);
    const std::int64_t tailFrames = rate / 2;
    std::vector<std::int16_t> pcm(std::size_t(leadFrames + burstFrames + tailFrames) * 2, 0);
    const double period = rate / hz;
    for (std::int64_t f = 0; f < burstFrames; ++f) {
        const std::int16_t v = std::fmod(double(f), period) < period / 2 ? 20000 : -20000;
        pcm[std::size_t(2 * (leadFrames + f))] = pcm[std::size_t(2 * (leadFrames + f) + 1)] = v;
    }

    State st; // outlives the loop: its callbacks point at it
    Connection pa;
    st.loop = pa.loop;
    pa.context = pa_context_new(pa_threaded_mainloop_get_api(st.loop), "audio-onset-player");
    pa_context* ctx = pa.context;
    pa_context_set_state_callback(
        ctx, [](pa_context*, void* s) { pa_threaded_mainloop_signal(static_cast<State*>(s)->loop, 0); }, &st);
    pa_threaded_mainloop_start(st.loop);
    Lock lock(st.loop);
    pa_context_connect(ctx, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
    while (pa_context_get_state(ctx) != PA_CONTEXT_READY) {
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(ctx))) {
            std::fprintf(stderr, "audio-onset-player: %s\n", pa_strerror(pa_context_errno(ctx)));
            return 1;
        }
        pa_threaded_mainloop_wait(st.loop);
    }
    const pa_sample_spec sampleSpec{PA_SAMPLE_S16LE, rate, 2};
    pa.stream = pa_stream_new(ctx, "onset", &sampleSpec, nullptr);
    pa_stream* s = pa.stream;
    pa_stream_set_state_callback(
        s, [](pa_stream*, void* p) { pa_threaded_mainloop_signal(static_cast<State*>(p)->loop, 0); }, &st);
    pa_buffer_attr attr;
    attr.maxlength = std::uint32_t(-1);
    attr.tlength = std::uint32_t(pa_usec_to_bytes(150000, &sampleSpec));
    attr.prebuf = std::uint32_t(-1);
    attr.minreq = std::uint32_t(-1);
    attr.fragsize = std::uint32_t(-1);
    pa_stream_connect_playback(s, sink, &attr, pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY), nullptr, nullptr);
    while (pa_stream_get_state(s) != PA_STREAM_READY) {
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(s))) {
            std::fprintf(stderr, "audio-onset-player: %s\n", pa_strerror(pa_context_errno(ctx)));
            return 1;
        }
        pa_threaded_mainloop_wait(st.loop);
    }
    // Feed in real time, a little ahead, and observe the play position while the lead plays.
    const std::size_t total = pcm.size() * sizeof(std::int16_t);
    std::size_t written = 0;
    double nextTiming = 0;
    double onsetWritten = 0; // when the onset reached the server: it cannot play earlier
    const std::size_t onsetByte = std::size_t(leadFrames) * 4;
    while (written < total) {
        const std::size_t room = pa_stream_writable_size(s);
        if (room > 0) {
            const std::size_t n = std::min(room, total - written) & ~std::size_t(3);
            pa_stream_write(s, reinterpret_cast<const std::uint8_t*>(pcm.data()) + written, n, nullptr, 0,
                            PA_SEEK_RELATIVE);
            written += n;
            if (onsetWritten == 0 && written > onsetByte) onsetWritten = monotonicNow();
        }
        if (monotonicNow() >= nextTiming) {
            nextTiming = monotonicNow() + 0.05;
            pa_operation* o = pa_stream_update_timing_info(
                s,
                [](pa_stream* str, int ok, void* p) {
                    auto* state = static_cast<State*>(p);
                    const pa_timing_info* i = ok ? pa_stream_get_timing_info(str) : nullptr;
                    if (i && !i->read_index_corrupt && i->playing) {
                        // Frame being played at `timestamp`: what the sink read, less what it holds.
                        const double playing = double(i->read_index) / 4 - double(i->sink_usec) * rate / 1e6;
                        if (playing > rate * 0.1)
                            state->starts.push_back(monotonicFrom(i->timestamp) - playing / rate);
                    }
                    pa_threaded_mainloop_signal(state->loop, 0);
                },
                &st);
            if (o) pa_operation_unref(o);
        }
        pa_threaded_mainloop_unlock(st.loop);
        timespec pause{0, 5'000'000};
        nanosleep(&pause, nullptr);
        pa_threaded_mainloop_lock(st.loop);
    }
    pa_operation* drain = pa_stream_drain(
        s, [](pa_stream*, int, void* p) { pa_threaded_mainloop_signal(static_cast<State*>(p)->loop, 0); },
        &st);
    while (drain && pa_operation_get_state(drain) == PA_OPERATION_RUNNING)
        pa_threaded_mainloop_wait(st.loop);
    if (drain) pa_operation_unref(drain);
    if (st.starts.empty()) {
        std::fprintf(stderr, "audio-onset-player: no timing information\n");
        return 1;
    }
    std::sort(st.starts.begin(), st.starts.end());
    const double start = st.starts[st.starts.size() / 2];
    std::printf("onset %.6f\n", start + double(leadFrames) / rate);
    std::printf("written %.6f\n", onsetWritten);
    std::printf("spread %.6f\n", st.starts.back() - st.starts.front());
    std::fflush(stdout);
    return 0;
}
