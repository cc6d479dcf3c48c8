// test-window: a plain X11 client the integration tests record, resize and watch.
//
//   test-window [--title T] [--class C] [--instance I] [--size WxH] [--pos X,Y] [--fixed]
//               [--inc N] [--animate] [--fps N] [--colour RRGGBB] [--tone HZ] [--no-pid]
//               [--raw-wm-name] [--type normal|dialog|utility|dock|toolbar|splash|menu]
//               [--above] [--fullscreen] [--flash PERIOD [--flash-at T0]]
//
// --flash: every PERIOD seconds from T0 (CLOCK_MONOTONIC seconds; default one second after the
// start) the window turns white for a tenth of a second, and a 20 ms click of 1 kHz is played so
// that it sounds at the same instant (the stream's latency is measured while playing).
// Prints the window's id (decimal) on a line of its own once the window is mapped and drawn.
// Ends on SIGTERM/SIGINT or when the window manager closes the window (WM_DELETE_WINDOW).
#include "TestPattern.h"

#include <pulse/error.h>
#include <pulse/simple.h>
#include <xcb/xcb.h>
#include <xcb/xcb_icccm.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/signalfd.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

namespace pat = lc::test::pattern;

struct Options {
    std::string title = "test-window";
    std::string wmClass = "TestWindow";
    std::string instance = "test-window";
    int width = 640, height = 480;
    std::optional<std::pair<int, int>> pos;
    bool fixed = false;
    int inc = 0;
    bool animate = false;
    int fps = 30;
    std::uint32_t colour = pat::defaultColour;
    double tone = 0;
    bool pid = true;
    bool rawWmName = false;
    std::string type;
    bool above = false;
    bool fullscreen = false;
    double flash = 0;
    std::optional<double> flashAt;
};

[[noreturn]] void usage(const char* why) {
    std::fprintf(stderr, "test-window: %s\n", why);
    std::exit(2);
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) usage(("missing value for " + a).c_str());
            return argv[++i];
        };
        if (a == "--title")
            o.title = next();
        else if (a == "--class")
            o.wmClass = next();
        else if (a == "--instance")
            o.instance = next();
        else if (a == "--size") {
            if (std::sscanf(next().c_str(), "%dx%d", &o.width, &o.height) != 2 || o.width < 1 || o.height < 1)
                usage("--size wants WxH");
        } else if (a == "--pos") {
            int x = 0, y = 0;
            if (std::sscanf(next().c_str(), "%d,%d", &x, &y) != 2) usage("--pos wants X,Y");
            o.pos = std::pair{x, y};
        } else if (a == "--fixed")
            o.fixed = true;
        else if (a == "--inc")
            o.inc = std::atoi(next().c_str());
        else if (a == "--animate")
            o.animate = true;
        else if (a == "--fps")
            o.fps = std::max(1, std::atoi(next().c_str()));
        else if (a == "--colour" || a == "--color")
            o.colour = std::uint32_t(std::strtoul(next().c_str(), nullptr, 16));
        else if (a == "--tone")
            o.tone = std::atof(next().c_str());
        else if (a == "--no-pid")
            o.pid = false;
        else if (a == "--raw-wm-name")
            o.rawWmName = true;
        else if (a == "--type")
            o.type = next();
        else if (a == "--above")
            o.above = true;
        else if (a == "--fullscreen")
            o.fullscreen = true;
        else if (a == "--flash")
            o.flash = std::atof(next().c_str());
        else if (a == "--flash-at")
            o.flashAt = std::atof(next().c_str());
        else
            usage(("unknown option " + a).c_str());
    }
    return o;
}

// A continuous sine through the default PulseAudio sink until told to stop.
class Tone {
public:
    explicit Tone(double hz) : thread_([this, hz] { run(hz); }) {}
    ~Tone() {
        stop_ = true;
        thread_.join();
    }

private:
    void run(double hz) {
        pa_sample_spec sampleSpec{PA_SAMPLE_S16LE, 48000, 2};
        pa_buffer_attr attr{};
        attr.maxlength = std::uint32_t(-1);
        attr.tlength = 48000 * 4 / 20; // 50 ms
        attr.prebuf = std::uint32_t(-1);
        attr.minreq = std::uint32_t(-1);
        attr.fragsize = std::uint32_t(-1);
        std::vector<std::int16_t> buf(480 * 2);
        std::uint64_t n = 0;
        // Like a real player, it connects again when the sound server comes back.
        bool told = false;
        while (!stop_) {
            int err = 0;
            std::unique_ptr<pa_simple, decltype(&pa_simple_free)> s(
                pa_simple_new(nullptr, "test-window", PA_STREAM_PLAYBACK, nullptr, "tone", &sampleSpec,
                              nullptr, &attr, &err),
                &pa_simple_free);
            if (!s) {
                if (!std::exchange(told, true))
                    std::fprintf(stderr, "test-window: no audio: %s\n", pa_strerror(err));
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                continue;
            }
            told = false;
            while (!stop_) {
                for (std::size_t i = 0; i < 480; ++i, ++n) {
                    const auto v =
                        std::int16_t(std::lround(9830.0 * std::sin(2 * M_PI * hz * double(n) / 48000.0)));
                    buf[2 * i] = buf[2 * i + 1] = v;
                }
                if (pa_simple_write(s.get(), buf.data(), buf.size() * sizeof(std::int16_t), &err) < 0) {
                    std::fprintf(stderr, "test-window: audio write failed: %s\n", pa_strerror(err));
                    break;
                }
            }
        }
    }
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

double now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Silence with a click at every flash time, placed by when each sample will be heard: the
// stream's latency after each write tells when the next sample plays; a low percentile of the
// recent readings rides over their jitter.
class Clicks {
public:
    Clicks(double first, double period) : thread_([this, first, period] { run(first, period); }) {}
    ~Clicks() {
        stop_ = true;
        thread_.join();
    }

    static constexpr double clickLength = 0.02;
    static constexpr double clickHz = 1000;

private:
    void run(double first, double period) {
        pa_sample_spec sampleSpec{PA_SAMPLE_S16LE, 48000, 2};
        pa_buffer_attr attr{};
        attr.maxlength = std::uint32_t(-1);
        attr.tlength = 48000 * 4 / 25; // 40 ms
        attr.prebuf = std::uint32_t(-1);
        attr.minreq = std::uint32_t(-1);
        attr.fragsize = std::uint32_t(-1);
        int err = 0;
        std::unique_ptr<pa_simple, decltype(&pa_simple_free)> s(
            pa_simple_new(nullptr, "test-window", PA_STREAM_PLAYBACK, nullptr, "clicks", &sampleSpec, nullptr,
                          &attr, &err),
            &pa_simple_free);
        if (!s) {
            std::fprintf(stderr, "test-window: no audio: %s\n", pa_strerror(err));
            return;
        }
        constexpr std::size_t chunk = 240; // 5 ms
        std::vector<std::int16_t> buf(chunk * 2);
        std::vector<double> offsets; // heard time of sample 0, per reading
        std::uint64_t n = 0;
        std::optional<double> origin;
        while (!stop_) {
            for (std::size_t i = 0; i < chunk; ++i) {
                std::int16_t v = 0;
                if (origin) {
                    const double heard = *origin + double(n + i) / 48000.0;
                    const double since = heard - first;
                    if (since >= 0) {
                        const double into = std::fmod(since, period);
                        if (into < clickLength)
                            v = std::int16_t(std::lround(16000.0 * std::sin(2 * M_PI * clickHz * into)));
                    }
                }
                buf[2 * i] = buf[2 * i + 1] = v;
            }
            if (pa_simple_write(s.get(), buf.data(), buf.size() * sizeof(std::int16_t), &err) < 0) {
                std::fprintf(stderr, "test-window: audio write failed: %s\n", pa_strerror(err));
                return;
            }
            n += chunk;
            const pa_usec_t latency = pa_simple_get_latency(s.get(), &err);
            if (latency != pa_usec_t(-1)) {
                // Sample n (the next one) is heard once all that was written has played.
                offsets.push_back(now() + double(latency) / 1e6 - double(n) / 48000.0);
                if (offsets.size() > 101) offsets.erase(offsets.begin());
                // A reading taken late (this thread waited for the processor) only ever comes out
                // too large: a low percentile is the estimate, not the median.
                std::vector<double> sorted = offsets;
                std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 10, sorted.end());
                origin = sorted[sorted.size() / 10];
            }
        }
    }
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct Conn {
    xcb_connection_t* c = nullptr;
    ~Conn() {
        if (c) xcb_disconnect(c);
    }
};

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
    auto* r =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, std::uint16_t(std::strlen(name)), name), nullptr);
    const xcb_atom_t a = r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(r);
    return a;
}

void setString(xcb_connection_t* c, xcb_window_t w, xcb_atom_t prop, xcb_atom_t type, const std::string& s) {
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, prop, type, 8, std::uint32_t(s.size()), s.data());
}

// UTF-8 to Latin-1 (characters outside it become '?'), for a WM_NAME of type STRING.
std::string toLatin1(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        if (b < 0x80) {
            out += char(b);
            ++i;
        } else if ((b & 0xe0) == 0xc0 && i + 1 < s.size()) {
            const unsigned cp = ((b & 0x1f) << 6) | (static_cast<unsigned char>(s[i + 1]) & 0x3f);
            out += cp < 0x100 ? char(cp) : '?';
            i += 2;
        } else {
            out += '?';
            ++i;
            while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xc0) == 0x80)
                ++i;
        }
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);

    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    pthread_sigmask(SIG_BLOCK, &mask, nullptr); // before any thread starts
    const int sigfd = signalfd(-1, &mask, SFD_CLOEXEC);

    Conn conn;
    int screenNo = 0;
    conn.c = xcb_connect(nullptr, &screenNo);
    if (xcb_connection_has_error(conn.c)) {
        std::fprintf(stderr, "test-window: cannot open the X display\n");
        return 1;
    }
    xcb_connection_t* c = conn.c;
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNo; ++i)
        xcb_screen_next(&it);
    xcb_screen_t* screen = it.data;

    const xcb_window_t win = xcb_generate_id(c);
    const std::uint32_t values[] = {o.colour, XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_STRUCTURE_NOTIFY};
    const int x = o.pos ? o.pos->first : 0, y = o.pos ? o.pos->second : 0;
    xcb_create_window(c, XCB_COPY_FROM_PARENT, win, screen->root, std::int16_t(x), std::int16_t(y),
                      std::uint16_t(o.width), std::uint16_t(o.height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);

    const xcb_atom_t utf8 = atom(c, "UTF8_STRING");
    if (o.rawWmName) {
        setString(c, win, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, toLatin1(o.title));
    } else {
        setString(c, win, atom(c, "_NET_WM_NAME"), utf8, o.title);
        setString(c, win, XCB_ATOM_WM_NAME, utf8, o.title);
    }
    std::string cls = o.instance;
    cls += '\0';
    cls += o.wmClass;
    cls += '\0';
    setString(c, win, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, cls);
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    setString(c, win, XCB_ATOM_WM_CLIENT_MACHINE, XCB_ATOM_STRING, host);
    if (o.pid) {
        const std::uint32_t pid = std::uint32_t(getpid());
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, win, atom(c, "_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, 1,
                            &pid);
    }
    const xcb_atom_t wmProtocols = atom(c, "WM_PROTOCOLS"), wmDelete = atom(c, "WM_DELETE_WINDOW");
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, win, wmProtocols, XCB_ATOM_ATOM, 32, 1, &wmDelete);

    xcb_size_hints_t hints{};
    if (o.pos) xcb_icccm_size_hints_set_position(&hints, 1, x, y);
    xcb_icccm_size_hints_set_size(&hints, 1, o.width, o.height);
    if (o.fixed) {
        xcb_icccm_size_hints_set_min_size(&hints, o.width, o.height);
        xcb_icccm_size_hints_set_max_size(&hints, o.width, o.height);
    }
    if (o.inc > 1) {
        xcb_icccm_size_hints_set_base_size(&hints, 0, 0);
        xcb_icccm_size_hints_set_resize_inc(&hints, o.inc, o.inc);
    }
    xcb_icccm_set_wm_normal_hints(c, win, &hints);

    if (!o.type.empty()) {
        std::string name = "_NET_WM_WINDOW_TYPE_";
        for (char ch : o.type)
            name += char(std::toupper(static_cast<unsigned char>(ch)));
        const xcb_atom_t t = atom(c, name.c_str());
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, win, atom(c, "_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 32,
                            1, &t);
    }
    std::vector<xcb_atom_t> states;
    if (o.above) states.push_back(atom(c, "_NET_WM_STATE_ABOVE"));
    if (o.fullscreen) states.push_back(atom(c, "_NET_WM_STATE_FULLSCREEN"));
    if (!states.empty())
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, win, atom(c, "_NET_WM_STATE"), XCB_ATOM_ATOM, 32,
                            std::uint32_t(states.size()), states.data());

    // Drawing goes to a back pixmap first and reaches the window in one CopyArea, so a capture
    // never sees half a frame.
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, win, 0, nullptr);
    xcb_pixmap_t back = XCB_NONE;
    int backW = 0, backH = 0, curW = o.width, curH = o.height;
    std::uint32_t counter = 0;
    bool flashing = false;

    auto fill = [&](std::uint32_t colour, const std::vector<xcb_rectangle_t>& rects) {
        if (rects.empty()) return;
        xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colour);
        xcb_poly_fill_rectangle(c, back, gc, std::uint32_t(rects.size()), rects.data());
    };
    auto draw = [&] {
        if (back == XCB_NONE || backW != curW || backH != curH) {
            if (back != XCB_NONE) xcb_free_pixmap(c, back);
            back = xcb_generate_id(c);
            xcb_create_pixmap(c, screen->root_depth, back, win, std::uint16_t(curW), std::uint16_t(curH));
            backW = curW;
            backH = curH;
        }
        fill(flashing ? 0xffffff : o.colour, {{0, 0, std::uint16_t(curW), std::uint16_t(curH)}});
        if (o.animate)
            fill(pat::barColour(o.colour),
                 {{std::int16_t(pat::barX(counter, curW)), std::int16_t(pat::blockSize),
                   std::uint16_t(pat::barWidth), std::uint16_t(curH)}});
        std::vector<xcb_rectangle_t> ones, zeros;
        for (int i = 0; i < pat::counterBits; ++i) {
            const bool bit = (counter >> (pat::counterBits - 1 - i)) & 1;
            (bit ? ones : zeros)
                .push_back({std::int16_t(i * pat::blockSize), 0, std::uint16_t(pat::blockSize),
                            std::uint16_t(pat::blockSize)});
        }
        fill(0xffffff, ones);
        fill(0x000000, zeros);
        xcb_copy_area(c, back, win, gc, 0, 0, 0, 0, std::uint16_t(curW), std::uint16_t(curH));
        xcb_flush(c);
    };

    xcb_map_window(c, win);
    xcb_flush(c);

    std::optional<Tone> tone;
    if (o.tone > 0) tone.emplace(o.tone);
    const double flashFirst = o.flashAt.value_or(now() + 1.0);
    std::optional<Clicks> clicks;
    if (o.flash > 0) clicks.emplace(flashFirst, o.flash);
    std::uint64_t nextFlash = 0;
    constexpr double flashLength = 0.1;

    bool announced = false;
    const double period = 1.0 / o.fps;
    double nextTick = now() + period;
    pollfd fds[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {sigfd, POLLIN, 0}};
    for (;;) {
        while (xcb_generic_event_t* ev = xcb_poll_for_event(c)) {
            const std::unique_ptr<xcb_generic_event_t, decltype(&std::free)> hold(ev, &std::free);
            switch (ev->response_type & 0x7f) {
            case XCB_EXPOSE:
                if (reinterpret_cast<xcb_expose_event_t*>(ev)->count == 0) draw();
                if (!announced) {
                    announced = true;
                    std::printf("%u\n", win);
                    std::fflush(stdout);
                }
                break;
            case XCB_CONFIGURE_NOTIFY: {
                const auto* e = reinterpret_cast<xcb_configure_notify_event_t*>(ev);
                if (e->window == win && (e->width != curW || e->height != curH)) {
                    curW = e->width;
                    curH = e->height;
                    draw();
                }
                break;
            }
            case XCB_CLIENT_MESSAGE: {
                const auto* e = reinterpret_cast<xcb_client_message_event_t*>(ev);
                if (e->type == wmProtocols && e->data.data32[0] == wmDelete) return 0;
                break;
            }
            case XCB_DESTROY_NOTIFY:
                return 0;
            default:
                break;
            }
        }
        if (xcb_connection_has_error(c)) return 1;
        int timeout = -1;
        if (o.animate) {
            const double t = now();
            if (t >= nextTick) {
                ++counter;
                draw();
                nextTick += period;
                if (nextTick < t) nextTick = t + period;
            }
            timeout = std::max(0, int(std::ceil((nextTick - now()) * 1000)));
        }
        if (o.flash > 0) {
            // On at each flash time, off a tenth of a second later; a late loop skips ahead.
            const double t = now();
            const double on = flashFirst + double(nextFlash) * o.flash;
            if (!flashing && t >= on) {
                if (t < on + flashLength) {
                    flashing = true;
                    draw();
                } else {
                    ++nextFlash;
                }
            } else if (flashing && t >= on + flashLength) {
                flashing = false;
                ++nextFlash;
                draw();
            }
            const double next = flashing ? on + flashLength : flashFirst + double(nextFlash) * o.flash;
            const int wait = std::max(0, int(std::ceil((next - now()) * 1000)));
            timeout = timeout < 0 ? wait : std::min(timeout, wait);
        }
        if (poll(fds, 2, timeout) < 0 && errno != EINTR) return 1;
        if (fds[1].revents & POLLIN) return 0;
    }
}
