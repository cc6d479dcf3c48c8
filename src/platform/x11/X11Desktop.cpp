#include "platform/x11/X11Desktop.h"

#include "common/Clock.h"
#include "platform/x11/DesktopEntries.h"
#include "platform/x11/Grabber.h"
#include "platform/x11/RingMask.h"
#include "platform/x11/Text.h"
#include "platform/x11/X11CaptureStream.h"
#include "platform/x11/Xcb.h"

#include <libyuv/scale_argb.h>
#include <xcb/randr.h>
#include <xcb/res.h>
#include <xcb/shape.h>
#include <xcb/xcb_icccm.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <poll.h>
#include <set>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace lc::x11 {

namespace {

constexpr int kLayerNormal = 0;
constexpr int kLayerFloating = 3;
constexpr int kLayerDock = 20;
constexpr int kLayerPopup = 101;
constexpr std::uint32_t kAllDesktops = 0xffffffff;

std::string processName(std::int32_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return cleanText(name, TextEncoding::utf8, 256);
}

std::optional<std::string> decodeTitle(const std::optional<Property>& netName,
                                       const std::optional<Property>& wmName, const Atoms& a) {
    if (netName && netName->format == 8) return cleanText(netName->bytes, TextEncoding::utf8);
    if (!wmName || wmName->format != 8) return std::nullopt;
    TextEncoding enc = TextEncoding::latin1;
    if (wmName->type == a.UTF8_STRING)
        enc = TextEncoding::utf8;
    else if (wmName->type == a.COMPOUND_TEXT)
        enc = TextEncoding::compoundText;
    return cleanText(wmName->bytes, enc);
}

// Scales a picture to width × height (the picture itself when that is its size or 0 × 0).
BgraFramePtr scaled(std::shared_ptr<BgraFrame> src, int width, int height) {
    if ((width <= 0 || height <= 0) || (width == src->width && height == src->height)) return src;
    auto out = BgraFrame::allocate(width, height);
    libyuv::ARGBScale(src->data, src->stride, src->width, src->height, out->data, out->stride, width, height,
                      libyuv::kFilterBox);
    forceOpaque(out->data, out->stride, width, height); // the box filter's rounding reaches alpha too
    out->serial = src->serial;
    out->hostTime = src->hostTime;
    return out;
}

} // namespace

struct X11Desktop::Impl {
    std::string display;
    Connection conn;
    xcb_connection_t* c = nullptr;
    xcb_window_t root = XCB_NONE;
    Atoms a;
    Extensions ext;
    DesktopEntries desktopEntries;

    // Errors of requests nobody checks land in the event queue; nobody reads events on this
    // connection, so they are dropped before each use.
    void drain() {
        while (xcb_generic_event_t* ev = xcb_poll_for_event(c))
            std::free(ev);
    }
    bool ok() const { return conn.ok(); }

    std::optional<Property> rootProperty(xcb_atom_t prop) { return readProperty(c, root, prop); }

    bool wmRunning() {
        const auto check = rootProperty(a._NET_SUPPORTING_WM_CHECK);
        const auto w = check ? check->cardinal() : std::nullopt;
        if (!w || *w == XCB_NONE) return false;
        const auto self = readProperty(c, *w, a._NET_SUPPORTING_WM_CHECK);
        return self && self->cardinal() == w;
    }

    std::optional<std::uint32_t> currentDesktop() {
        const auto p = rootProperty(a._NET_CURRENT_DESKTOP);
        return p ? p->cardinal() : std::nullopt;
    }

    // Direct children of the root, bottom to top.
    std::vector<xcb_window_t> rootChildren() {
        Owned<xcb_query_tree_reply_t> r{xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr)};
        if (!r) return {};
        const xcb_window_t* w = xcb_query_tree_children(r.get());
        return {w, w + xcb_query_tree_children_length(r.get())};
    }

    // The windows the window manager manages, bottom to top; without a window manager, the
    // top-level windows that are not override-redirect.
    std::vector<xcb_window_t> clients(const std::vector<xcb_window_t>& children, bool& managed) {
        managed = wmRunning();
        if (managed) {
            if (const auto p = rootProperty(a._NET_CLIENT_LIST_STACKING)) {
                const auto v = p->cardinals();
                return {v.begin(), v.end()};
            }
            if (const auto p = rootProperty(a._NET_CLIENT_LIST)) {
                const auto v = p->cardinals();
                return {v.begin(), v.end()};
            }
            return {};
        }
        std::vector<xcb_get_window_attributes_cookie_t> cookies;
        for (auto w : children)
            cookies.push_back(xcb_get_window_attributes(c, w));
        std::vector<xcb_window_t> out;
        for (std::size_t i = 0; i < children.size(); ++i) {
            Owned<xcb_get_window_attributes_reply_t> r{
                xcb_get_window_attributes_reply(c, cookies[i], nullptr)};
            if (r && !r->override_redirect && r->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT)
                out.push_back(children[i]);
        }
        return out;
    }

    // The root child that holds each window (the window manager's frame, or the window itself).
    std::map<xcb_window_t, xcb_window_t> topLevels(const std::vector<xcb_window_t>& windows) {
        std::map<xcb_window_t, xcb_window_t> result;
        std::vector<std::pair<xcb_window_t, xcb_window_t>> pending; // (window, current ancestor)
        for (auto w : windows)
            pending.emplace_back(w, w);
        for (int depth = 0; depth < 8 && !pending.empty(); ++depth) {
            std::vector<xcb_query_tree_cookie_t> cookies;
            for (auto& p : pending)
                cookies.push_back(xcb_query_tree(c, p.second));
            std::vector<std::pair<xcb_window_t, xcb_window_t>> next;
            for (std::size_t i = 0; i < pending.size(); ++i) {
                Owned<xcb_query_tree_reply_t> r{xcb_query_tree_reply(c, cookies[i], nullptr)};
                if (!r) continue; // gone
                if (r->parent == root || r->parent == XCB_NONE)
                    result[pending[i].first] = pending[i].second;
                else
                    next.emplace_back(pending[i].first, r->parent);
            }
            pending = std::move(next);
        }
        return result;
    }

    // Process ids by X-Resource, for windows of clients that do not set _NET_WM_PID.
    std::map<xcb_window_t, std::int32_t> pidsFromServer(const std::vector<xcb_window_t>& windows) {
        std::map<xcb_window_t, std::int32_t> out;
        if (!ext.res || windows.empty()) return out;
        std::vector<xcb_res_query_client_ids_cookie_t> cookies;
        for (auto w : windows) {
            xcb_res_client_id_spec_t idSpec{w, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
            cookies.push_back(xcb_res_query_client_ids(c, 1, &idSpec));
        }
        for (std::size_t i = 0; i < windows.size(); ++i) {
            Owned<xcb_res_query_client_ids_reply_t> r{xcb_res_query_client_ids_reply(c, cookies[i], nullptr)};
            if (!r) continue;
            for (auto it = xcb_res_query_client_ids_ids_iterator(r.get()); it.rem;
                 xcb_res_client_id_value_next(&it)) {
                const auto& [clientId, valueBytes] = *it.data;
                if ((clientId.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) && valueBytes >= 4) {
                    out[windows[i]] = std::int32_t(*xcb_res_client_id_value_value(it.data));
                    break;
                }
            }
        }
        return out;
    }

    struct WindowInfo {
        xcb_window_t id = XCB_NONE;
        bool exists = false;
        bool overrideRedirect = false;
        bool viewable = false;
        bool hidden = false;
        bool fullScreen = false;
        bool desktopType = false;
        int layer = kLayerNormal;
        std::optional<std::uint32_t> desktop;
        Rect frame;
        std::optional<std::string> title;
        std::optional<std::int32_t> pid;
        std::string appId;
        WmClass wmClass;
    };

    // Everything about each window, with all requests in flight at once.
    std::vector<WindowInfo> describe(const std::vector<xcb_window_t>& windows) {
        struct Cookies {
            xcb_get_window_attributes_cookie_t attrs;
            xcb_get_geometry_cookie_t geo;
            xcb_translate_coordinates_cookie_t pos;
            xcb_get_property_cookie_t netName, wmName, pid, cls, type, state, desktop, gtkId, kdeFile;
        };
        std::vector<Cookies> cookies;
        cookies.reserve(windows.size());
        const std::uint32_t titleBytes = 4 * kMaxTitleBytes;
        for (auto w : windows) {
            cookies.push_back(
                {xcb_get_window_attributes(c, w), xcb_get_geometry(c, w),
                 xcb_translate_coordinates(c, w, root, 0, 0),
                 requestProperty(c, w, a._NET_WM_NAME, titleBytes),
                 requestProperty(c, w, XCB_ATOM_WM_NAME, titleBytes), requestProperty(c, w, a._NET_WM_PID, 4),
                 requestProperty(c, w, XCB_ATOM_WM_CLASS, 1024),
                 requestProperty(c, w, a._NET_WM_WINDOW_TYPE, 256),
                 requestProperty(c, w, a._NET_WM_STATE, 256), requestProperty(c, w, a._NET_WM_DESKTOP, 4),
                 requestProperty(c, w, a._GTK_APPLICATION_ID, 1024),
                 requestProperty(c, w, a._KDE_NET_WM_DESKTOP_FILE, 1024)});
        }
        std::vector<WindowInfo> out(windows.size());
        std::vector<xcb_window_t> withoutPid;
        for (std::size_t i = 0; i < windows.size(); ++i) {
            WindowInfo& info = out[i];
            const Cookies& k = cookies[i];
            info.id = windows[i];
            Owned<xcb_get_window_attributes_reply_t> attrs{
                xcb_get_window_attributes_reply(c, k.attrs, nullptr)};
            Owned<xcb_get_geometry_reply_t> geo{xcb_get_geometry_reply(c, k.geo, nullptr)};
            Owned<xcb_translate_coordinates_reply_t> pos{xcb_translate_coordinates_reply(c, k.pos, nullptr)};
            const auto netName = collectProperty(c, k.netName), wmName = collectProperty(c, k.wmName);
            const auto pid = collectProperty(c, k.pid), cls = collectProperty(c, k.cls);
            const auto type = collectProperty(c, k.type), state = collectProperty(c, k.state);
            const auto desktop = collectProperty(c, k.desktop), gtkId = collectProperty(c, k.gtkId);
            const auto kdeFile = collectProperty(c, k.kdeFile);
            if (!attrs || !geo || !pos) continue;
            info.exists = true;
            info.overrideRedirect = attrs->override_redirect;
            info.viewable = attrs->map_state == XCB_MAP_STATE_VIEWABLE;
            info.frame =
                Rect{double(pos->dst_x), double(pos->dst_y), double(geo->width), double(geo->height)};
            info.title = decodeTitle(netName, wmName, a);
            if (pid && pid->cardinal() && *pid->cardinal() > 0)
                info.pid = std::int32_t(*pid->cardinal());
            else
                withoutPid.push_back(info.id);
            if (cls) info.wmClass = parseWmClass(cls->bytes);
            if (gtkId && gtkId->format == 8) info.appId = cleanText(gtkId->bytes, TextEncoding::utf8, 256);
            if (info.appId.empty() && kdeFile && kdeFile->format == 8)
                info.appId = cleanText(kdeFile->bytes, TextEncoding::utf8, 256);
            if (desktop) info.desktop = desktop->cardinal();

            bool above = false;
            if (state)
                for (auto s : state->cardinals()) {
                    if (s == a._NET_WM_STATE_HIDDEN) info.hidden = true;
                    if (s == a._NET_WM_STATE_ABOVE) above = true;
                    if (s == a._NET_WM_STATE_FULLSCREEN) info.fullScreen = true;
                }
            int layer = kLayerNormal;
            if (type) {
                const auto types = type->cardinals();
                bool known = false;
                for (auto t : types) {
                    if (t == a._NET_WM_WINDOW_TYPE_DESKTOP) info.desktopType = true;
                    if (known) continue;
                    if (t == a._NET_WM_WINDOW_TYPE_NORMAL || t == a._NET_WM_WINDOW_TYPE_DIALOG ||
                        t == a._NET_WM_WINDOW_TYPE_UTILITY) {
                        known = true;
                    } else if (t == a._NET_WM_WINDOW_TYPE_DOCK) {
                        layer = kLayerDock;
                        known = true;
                    }
                }
                if (!known && !types.empty())
                    layer = kLayerFloating; // toolbars, menus, splashes, notifications
            }
            if (layer == kLayerNormal && above) layer = kLayerFloating;
            if (info.overrideRedirect) layer = kLayerPopup;
            info.layer = layer;
        }
        for (const auto& [w, pid] : pidsFromServer(withoutPid))
            for (auto& info : out)
                if (info.id == w) info.pid = pid;
        return out;
    }

    std::optional<OwningApplication> owner(const WindowInfo& info) {
        if (!info.pid) return std::nullopt;
        OwningApplication app;
        app.processID = *info.pid;
        const std::string& cls =
            !info.wmClass.className.empty() ? info.wmClass.className : info.wmClass.instance;
        app.bundleIdentifier = !info.appId.empty() ? info.appId : cls;
        if (auto name = desktopEntries.nameFor(info.appId, cls))
            app.applicationName = *name;
        else
            app.applicationName = cls;
        if (app.applicationName.empty() || app.bundleIdentifier.empty()) {
            const std::string comm = processName(app.processID);
            if (app.applicationName.empty()) app.applicationName = comm;
            if (app.bundleIdentifier.empty()) app.bundleIdentifier = comm;
        }
        return app;
    }

    std::optional<std::int32_t> pidOf(xcb_window_t w) {
        if (const auto p = readProperty(c, w, a._NET_WM_PID, 4); p && p->cardinal() && *p->cardinal() > 0)
            return std::int32_t(*p->cardinal());
        const auto m = pidsFromServer({w});
        if (auto it = m.find(w); it != m.end()) return it->second;
        return std::nullopt;
    }

    std::vector<Screen> screens() {
        std::vector<Screen> out;
        Rect work;
        if (const auto p = rootProperty(a._NET_WORKAREA)) {
            const auto v = p->cardinals();
            const std::size_t d = currentDesktop().value_or(0);
            if (v.size() >= 4 * (d + 1))
                work =
                    Rect{double(v[4 * d]), double(v[4 * d + 1]), double(v[4 * d + 2]), double(v[4 * d + 3])};
        }
        if (ext.randr) {
            Owned<xcb_randr_get_monitors_reply_t> r{
                xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, root, 1), nullptr)};
            if (r) {
                std::vector<xcb_get_atom_name_cookie_t> names;
                for (auto it = xcb_randr_get_monitors_monitors_iterator(r.get()); it.rem;
                     xcb_randr_monitor_info_next(&it)) {
                    Screen s;
                    s.frame = Rect{double(it.data->x), double(it.data->y), double(it.data->width),
                                   double(it.data->height)};
                    s.isPrimary = it.data->primary;
                    names.push_back(xcb_get_atom_name(c, it.data->name));
                    out.push_back(s);
                }
                for (std::size_t i = 0; i < out.size(); ++i) {
                    Owned<xcb_get_atom_name_reply_t> n{xcb_get_atom_name_reply(c, names[i], nullptr)};
                    if (n)
                        out[i].name.assign(xcb_get_atom_name_name(n.get()),
                                           std::size_t(xcb_get_atom_name_name_length(n.get())));
                }
                std::stable_partition(out.begin(), out.end(), [](const Screen& s) { return s.isPrimary; });
                // Without a primary output (Xvfb) the first monitor is the primary screen.
                if (!out.empty()) out.front().isPrimary = true;
            }
        }
        if (out.empty() && conn.screen()) {
            Screen s;
            s.name = "screen";
            s.frame =
                Rect{0, 0, double(conn.screen()->width_in_pixels), double(conn.screen()->height_in_pixels)};
            s.isPrimary = true;
            out.push_back(s);
        }
        for (auto& s : out) {
            const Rect visible = work.isEmpty() ? s.frame : s.frame.intersected(work);
            s.visibleFrame = visible.isEmpty() ? s.frame : visible;
        }
        return out;
    }

    std::vector<OnScreenWindow> onScreenWindows() {
        const auto children = rootChildren();
        bool managed = false;
        const auto list = clients(children, managed);
        const auto tops = topLevels(list);
        std::map<xcb_window_t, xcb_window_t> clientIn; // top-level → client
        for (const auto& [client, top] : tops)
            clientIn[top] = client;

        std::vector<xcb_window_t> shown;
        {
            std::vector<xcb_get_window_attributes_cookie_t> cookies;
            for (auto w : children)
                cookies.push_back(xcb_get_window_attributes(c, w));
            for (std::size_t i = 0; i < children.size(); ++i) {
                Owned<xcb_get_window_attributes_reply_t> r{
                    xcb_get_window_attributes_reply(c, cookies[i], nullptr)};
                if (!r || r->map_state != XCB_MAP_STATE_VIEWABLE ||
                    r->_class != XCB_WINDOW_CLASS_INPUT_OUTPUT)
                    continue;
                auto it = clientIn.find(children[i]);
                if (it != clientIn.end())
                    shown.push_back(it->second);
                else if (r->override_redirect || !managed)
                    shown.push_back(children[i]);
            }
        }
        std::reverse(shown.begin(), shown.end());
        std::vector<std::pair<xcb_get_geometry_cookie_t, xcb_translate_coordinates_cookie_t>> cookies;
        for (auto w : shown)
            cookies.emplace_back(xcb_get_geometry(c, w), xcb_translate_coordinates(c, w, root, 0, 0));
        std::vector<OnScreenWindow> out;
        for (std::size_t i = 0; i < shown.size(); ++i) {
            Owned<xcb_get_geometry_reply_t> g{xcb_get_geometry_reply(c, cookies[i].first, nullptr)};
            Owned<xcb_translate_coordinates_reply_t> p{
                xcb_translate_coordinates_reply(c, cookies[i].second, nullptr)};
            if (!g || !p) continue;
            out.push_back(
                {shown[i], Rect{double(p->dst_x), double(p->dst_y), double(g->width), double(g->height)}});
        }
        return out;
    }

    void sendMoveResize(xcb_window_t w, std::uint32_t flags, std::int32_t x, std::int32_t y,
                        std::int32_t width, std::int32_t height) {
        xcb_client_message_event_t ev{};
        ev.response_type = XCB_CLIENT_MESSAGE;
        ev.format = 32;
        ev.window = w;
        ev.type = a._NET_MOVERESIZE_WINDOW;
        // Gravity from the window's hints (0); source: a pager, whose requests window managers obey.
        ev.data.data32[0] = flags | (2u << 12);
        ev.data.data32[1] = std::uint32_t(x);
        ev.data.data32[2] = std::uint32_t(y);
        ev.data.data32[3] = std::uint32_t(width);
        ev.data.data32[4] = std::uint32_t(height);
        xcb_send_event(c, 0, root, XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&ev));
        xcb_flush(c);
    }

    FrameExtents frameExtents(xcb_window_t w) {
        FrameExtents e;
        if (const auto p = readProperty(c, w, a._NET_FRAME_EXTENTS)) {
            const auto v = p->cardinals();
            if (v.size() >= 4) e = FrameExtents{double(v[0]), double(v[1]), double(v[2]), double(v[3])};
        }
        return e;
    }
};

// ---------------------------------------------------------------------------------------------

namespace {

class ActivationWatcher final : public Subscription {
public:
    ActivationWatcher(const std::string& display, std::function<void(std::int32_t)> handler,
                      std::optional<std::int32_t> current)
        : wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        // Return only once the server sends us property changes: an activation right after
        // subscribing must not be missed.
        std::promise<void> listening;
        auto ready = listening.get_future();
        thread_ = std::thread(
            [this, display, handler = std::move(handler), current,
             listening = std::move(listening)]() mutable { run(display, handler, current, listening); });
        ready.wait();
    }
    ~ActivationWatcher() override {
        stop_ = true;
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = write(wake_, &one, sizeof one);
        thread_.join();
        close(wake_);
    }

private:
    void run(const std::string& display, const std::function<void(std::int32_t)>& handler,
             std::optional<std::int32_t> last, std::promise<void>& listening) {
        X11Desktop::Impl d;
        d.display = display;
        d.conn = Connection(display);
        if (!d.conn.ok()) {
            listening.set_value();
            return;
        }
        d.c = d.conn.get();
        d.root = d.conn.root();
        d.a.intern(d.c);
        d.ext = initExtensions(d.c);
        const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_change_window_attributes(d.c, d.root, XCB_CW_EVENT_MASK, &mask);
        // A round trip: the server has applied the event mask once it answers.
        Owned<xcb_get_input_focus_reply_t> sync{
            xcb_get_input_focus_reply(d.c, xcb_get_input_focus(d.c), nullptr)};
        listening.set_value();
        pollfd fds[2] = {{xcb_get_file_descriptor(d.c), POLLIN, 0}, {wake_, POLLIN, 0}};
        // An activation between the caller's reading of the frontmost process and now is caught
        // by reading the property once at the start.
        bool activeChanged = true;
        while (!stop_) {
            while (xcb_generic_event_t* ev = xcb_poll_for_event(d.c)) {
                Owned<xcb_generic_event_t> hold{ev};
                if ((ev->response_type & 0x7f) == XCB_PROPERTY_NOTIFY &&
                    reinterpret_cast<xcb_property_notify_event_t*>(ev)->atom == d.a._NET_ACTIVE_WINDOW)
                    activeChanged = true;
            }
            if (xcb_connection_has_error(d.c)) return;
            if (activeChanged) {
                const auto p = d.rootProperty(d.a._NET_ACTIVE_WINDOW);
                const auto w = p ? p->cardinal() : std::nullopt;
                // The active window passes through 0 between two activations: not an activation.
                if (w && *w != XCB_NONE) {
                    const auto pid = d.pidOf(*w);
                    if (pid && pid != last) {
                        last = pid;
                        handler(*pid);
                    }
                }
            }
            // The property reads may have queued new events without leaving them in the socket.
            activeChanged = false;
            bool queued = false;
            while (xcb_generic_event_t* ev = xcb_poll_for_queued_event(d.c)) {
                Owned<xcb_generic_event_t> hold{ev};
                queued = true;
                if ((ev->response_type & 0x7f) == XCB_PROPERTY_NOTIFY &&
                    reinterpret_cast<xcb_property_notify_event_t*>(ev)->atom == d.a._NET_ACTIVE_WINDOW)
                    activeChanged = true;
            }
            if (queued) continue;
            if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
        }
    }

    int wake_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class X11Overlay final : public OverlayWindow {
public:
    X11Overlay(std::shared_ptr<X11Desktop::Impl> d, const std::string& title) : d_(std::move(d)) {
        xcb_connection_t* c = d_->c;
        window_ = xcb_generate_id(c);
        const std::uint32_t values[] = {0, 1}; // back pixel, override-redirect
        xcb_create_window(c, XCB_COPY_FROM_PARENT, window_, d_->root, 0, 0, std::uint16_t(frame_.width),
                          std::uint16_t(frame_.height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window_, d_->a._NET_WM_NAME, d_->a.UTF8_STRING, 8,
                            std::uint32_t(title.size()), title.data());
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window_, XCB_ATOM_WM_NAME, d_->a.UTF8_STRING, 8,
                            std::uint32_t(title.size()), title.data());
        static constexpr char cls[] = "lc-outline\0Loomcast";
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window_, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                            sizeof cls, cls);
        const std::uint32_t pid = std::uint32_t(getpid());
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window_, d_->a._NET_WM_PID, XCB_ATOM_CARDINAL, 32, 1,
                            &pid);
        // Clicks pass through: an empty input region.
        if (d_->ext.shape)
            xcb_shape_rectangles(c, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_INPUT, XCB_CLIP_ORDERING_UNSORTED, window_,
                                 0, 0, 0, nullptr);
        reshape();
        xcb_flush(c);
    }
    ~X11Overlay() override {
        xcb_destroy_window(d_->c, window_);
        xcb_flush(d_->c);
    }

    std::uint32_t windowID() const override { return window_; }
    Rect frame() const override { return frame_; }

    void setFrame(const Rect& f) override {
        const Rect r{std::round(f.x), std::round(f.y), std::max(1.0, std::round(f.width)),
                     std::max(1.0, std::round(f.height))};
        if (r == frame_) return;
        const bool resized = r.size() != frame_.size();
        frame_ = r;
        const std::uint32_t values[] = {std::uint32_t(std::int32_t(r.x)), std::uint32_t(std::int32_t(r.y)),
                                        std::uint32_t(r.width), std::uint32_t(r.height)};
        xcb_configure_window(d_->c, window_,
                             XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH |
                                 XCB_CONFIG_WINDOW_HEIGHT,
                             values);
        if (resized) reshape();
        xcb_flush(d_->c);
    }

    void setRing(const RingStyle& ring) override {
        if (ring == ring_) return;
        const bool shapeChanged = ring.lineWidth != ring_.lineWidth || ring.inset != ring_.inset ||
                                  ring.cornerRadius != ring_.cornerRadius;
        ring_ = ring;
        // Without a compositing manager nothing blends: translucency is approximated over a
        // mid-grey background, so lighter styles still look lighter.
        const double alpha = std::clamp(ring.colour.alpha, 0.0, 1.0);
        auto channel = [alpha](double v) {
            return std::uint32_t(std::lround((std::clamp(v, 0.0, 1.0) * alpha + 0.5 * (1 - alpha)) * 255));
        };
        const std::uint32_t pixel =
            (channel(ring.colour.red) << 16) | (channel(ring.colour.green) << 8) | channel(ring.colour.blue);
        xcb_change_window_attributes(d_->c, window_, XCB_CW_BACK_PIXEL, &pixel);
        xcb_clear_area(d_->c, 0, window_, 0, 0, 0, 0);
        if (shapeChanged) reshape();
        xcb_flush(d_->c);
    }

    bool isVisible() const override { return visible_; }
    void show() override {
        if (visible_) return;
        visible_ = true;
        xcb_map_window(d_->c, window_);
        xcb_flush(d_->c);
    }
    void hide() override {
        if (!visible_) return;
        visible_ = false;
        xcb_unmap_window(d_->c, window_);
        xcb_flush(d_->c);
    }

    void orderAbove(std::uint32_t target) override {
        d_->drain();
        const auto tops = d_->topLevels({target});
        const auto it = tops.find(target);
        if (it == tops.end()) return;
        const std::uint32_t values[] = {it->second, XCB_STACK_MODE_ABOVE};
        xcb_configure_window(d_->c, window_, XCB_CONFIG_WINDOW_SIBLING | XCB_CONFIG_WINDOW_STACK_MODE,
                             values);
        xcb_flush(d_->c);
    }

private:
    void reshape() {
        if (!d_->ext.shape) return;
        const auto rects = ringRectangles(int(frame_.width), int(frame_.height), ring_.inset,
                                          ring_.cornerRadius, ring_.lineWidth);
        std::vector<xcb_rectangle_t> xr;
        xr.reserve(rects.size());
        for (const auto& r : rects)
            xr.push_back(
                {std::int16_t(r.x), std::int16_t(r.y), std::uint16_t(r.width), std::uint16_t(r.height)});
        xcb_shape_rectangles(d_->c, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_BOUNDING, XCB_CLIP_ORDERING_YX_BANDED,
                             window_, 0, 0, std::uint32_t(xr.size()), xr.data());
    }

    std::shared_ptr<X11Desktop::Impl> d_;
    xcb_window_t window_ = XCB_NONE;
    Rect frame_{0, 0, 100, 100};
    RingStyle ring_;
    bool visible_ = false;
};

} // namespace

// ---------------------------------------------------------------------------------------------

Result<std::shared_ptr<X11Desktop>> X11Desktop::connect(const std::string& display) {
    auto d = std::make_shared<Impl>();
    d->display = display;
    d->conn = Connection(display);
    if (!d->conn.ok() || !d->conn.screen()) return makeError("Cannot connect to the X display");
    d->c = d->conn.get();
    d->root = d->conn.root();
    d->a.intern(d->c);
    d->ext = initExtensions(d->c);
    return std::make_shared<X11Desktop>(Key{}, std::move(d));
}

X11Desktop::X11Desktop(Key, std::shared_ptr<Impl> impl) : d_(std::move(impl)) {}
X11Desktop::~X11Desktop() = default;

bool X11Desktop::isConnected() const {
    return d_->ok();
}

bool X11Desktop::isCaptureAvailable() {
    return d_->ok() && d_->ext.canCapture();
}

Result<ShareableContent> X11Desktop::shareableContent(bool onScreenOnly) {
    if (!d_->ok()) return makeError("The connection to the X server was lost");
    d_->drain();
    const auto children = d_->rootChildren();
    bool managed = false;
    auto candidates = d_->clients(children, managed);
    // Override-redirect windows (popups, overlays) that carry a title are listed too, above the
    // ordinary layer.
    {
        const std::set<xcb_window_t> known(candidates.begin(), candidates.end());
        std::vector<xcb_get_window_attributes_cookie_t> cookies;
        for (auto w : children)
            cookies.push_back(xcb_get_window_attributes(d_->c, w));
        for (std::size_t i = 0; i < children.size(); ++i) {
            Owned<xcb_get_window_attributes_reply_t> r{
                xcb_get_window_attributes_reply(d_->c, cookies[i], nullptr)};
            if (r && r->override_redirect && r->map_state == XCB_MAP_STATE_VIEWABLE &&
                !known.count(children[i]))
                candidates.push_back(children[i]);
        }
    }
    // Front to back by the real stacking of their top-level windows.
    const auto tops = d_->topLevels(candidates);
    std::map<xcb_window_t, std::size_t> stackIndex;
    for (std::size_t i = 0; i < children.size(); ++i)
        stackIndex[children[i]] = i;
    auto indexOf = [&](xcb_window_t w) -> long {
        auto t = tops.find(w);
        if (t == tops.end()) return -1;
        auto s = stackIndex.find(t->second);
        return s == stackIndex.end() ? -1 : long(s->second);
    };
    std::stable_sort(candidates.begin(), candidates.end(),
                     [&](xcb_window_t l, xcb_window_t r) { return indexOf(l) > indexOf(r); });

    const auto current = d_->currentDesktop();
    ShareableContent content;
    for (const auto& info : d_->describe(candidates)) {
        if (!info.exists || info.desktopType) continue;
        if (info.overrideRedirect && !info.title) continue;
        ShareableWindow w;
        w.windowID = info.id;
        w.frame = info.frame;
        w.title = info.title;
        w.windowLayer = info.layer;
        const bool onDesktop =
            !info.desktop || !current || *info.desktop == kAllDesktops || *info.desktop == *current;
        w.isOnScreen = info.viewable && !info.hidden && onDesktop;
        if (onScreenOnly && !w.isOnScreen) continue;
        w.owningApplication = d_->owner(info);
        content.windows.push_back(std::move(w));
    }
    std::uint32_t id = 0;
    for (const auto& s : d_->screens())
        content.displays.push_back({id++, s.frame});
    if (!d_->ok()) return makeError("The connection to the X server was lost");
    return content;
}

WindowContentInfo X11Desktop::contentInfo(const ShareableWindow& window) {
    WindowContentInfo info;
    if (!d_->ok()) return info;
    Owned<xcb_get_geometry_reply_t> g{
        xcb_get_geometry_reply(d_->c, xcb_get_geometry(d_->c, window.windowID), nullptr)};
    if (g) info.contentRect = Rect{0, 0, double(g->width), double(g->height)};
    return info;
}

Result<std::unique_ptr<CaptureStream>> X11Desktop::createStream(std::uint32_t windowID,
                                                                const StreamConfiguration& configuration,
                                                                CaptureStream::Handlers handlers) {
    if (!d_->ok()) return makeError("The connection to the X server was lost");
    return makeCaptureStream(d_->display, windowID, configuration, std::move(handlers));
}

namespace {

// A short-lived connection that reads windows' own pixels, for single pictures.
struct OneShot {
    Connection conn;
    xcb_connection_t* c = nullptr;
    Extensions ext;

    explicit OneShot(const std::string& display) : conn(display) {
        if (conn.ok()) {
            c = conn.get();
            ext = initExtensions(c);
        }
    }
    bool ok() const { return c && ext.canCapture(); }

    Result<std::shared_ptr<BgraFrame>> grab(xcb_window_t w, bool cursor) {
        Owned<xcb_get_geometry_reply_t> g{xcb_get_geometry_reply(c, xcb_get_geometry(c, w), nullptr)};
        if (!g) return makeError("The window is no longer available");
        if (g->depth != 24 && g->depth != 32)
            return makeError("The window's pixel format cannot be captured");
        Grabber grabber(c, w, 1);
        grabber.redirect();
        if (!grabber.nameWindowPixmap()) return makeError("The window is not on screen");
        auto r = grabber.grab(g->width, g->height);
        if (!r.frame) return makeError(r.message.empty() ? "The window's pixels cannot be read" : r.message);
        // Detach from the pool: the picture outlives this connection.
        auto copy = BgraFrame::allocate(r.frame->width, r.frame->height);
        for (int y = 0; y < copy->height; ++y)
            std::copy_n(r.frame->row(y), std::size_t(copy->width) * 4, copy->row(y));
        copy->serial = r.frame->serial;
        copy->hostTime = r.frame->hostTime;
        if (cursor) {
            Owned<xcb_query_pointer_reply_t> p{xcb_query_pointer_reply(c, xcb_query_pointer(c, w), nullptr)};
            if (p && p->same_screen && p->win_x >= 0 && p->win_y >= 0 && p->win_x < g->width &&
                p->win_y < g->height)
                grabber.drawCursor(*copy, p->win_x, p->win_y);
        }
        return copy;
    }
};

} // namespace

Result<BgraFramePtr> X11Desktop::screenshotWindow(std::uint32_t windowID, int width, int height,
                                                  bool showsCursor) {
    OneShot shot(d_->display);
    if (!shot.ok()) return makeError("Cannot capture on this X display");
    auto r = shot.grab(windowID, showsCursor);
    if (!r) return r.error();
    return scaled(std::move(r.value()), width, height);
}

Result<BgraFramePtr> X11Desktop::screenshotDisplay(std::uint32_t displayID,
                                                   std::span<const std::uint32_t> windowIDs, int width,
                                                   int height) {
    const auto all = screens();
    if (displayID >= all.size()) return makeError("No such display");
    const Rect display = all[displayID].frame;
    OneShot shot(d_->display);
    if (!shot.ok()) return makeError("Cannot capture on this X display");

    // Bottom to top, so that windows in front are painted last.
    const auto order = onScreenWindows();
    std::vector<OnScreenWindow> included;
    for (auto it = order.rbegin(); it != order.rend(); ++it)
        if (std::find(windowIDs.begin(), windowIDs.end(), it->windowID) != windowIDs.end())
            included.push_back(*it);

    auto canvas = BgraFrame::allocate(int(display.width), int(display.height));
    for (int y = 0; y < canvas->height; ++y) {
        auto* p = reinterpret_cast<std::uint32_t*>(canvas->row(y));
        std::fill(p, p + canvas->width, 0xff000000u);
    }
    canvas->hostTime = uptime();
    for (const auto& w : included) {
        auto pic = shot.grab(w.windowID, false);
        if (!pic) continue;
        // Shaped windows (the outlines) show only their shape.
        std::vector<IntRect> parts{{0, 0, pic.value()->width, pic.value()->height}};
        if (shot.ext.shape) {
            Owned<xcb_shape_get_rectangles_reply_t> r{xcb_shape_get_rectangles_reply(
                shot.c, xcb_shape_get_rectangles(shot.c, w.windowID, XCB_SHAPE_SK_BOUNDING), nullptr)};
            if (r) {
                parts.clear();
                const xcb_rectangle_t* rs = xcb_shape_get_rectangles_rectangles(r.get());
                for (int i = 0; i < xcb_shape_get_rectangles_rectangles_length(r.get()); ++i)
                    parts.push_back({rs[i].x, rs[i].y, rs[i].width, rs[i].height});
            }
        }
        const int ox = int(w.frame.x - display.x), oy = int(w.frame.y - display.y);
        const BgraFrame& src = *pic.value();
        for (const IntRect& part : parts) {
            const int x0 = std::max({0, part.x, -ox}),
                      x1 = std::min({src.width, part.x + part.width, canvas->width - ox});
            const int y0 = std::max({0, part.y, -oy}),
                      y1 = std::min({src.height, part.y + part.height, canvas->height - oy});
            for (int y = y0; y < y1; ++y)
                if (x1 > x0)
                    std::copy_n(src.row(y) + x0 * 4, std::size_t(x1 - x0) * 4,
                                canvas->row(oy + y) + (ox + x0) * 4);
        }
    }
    return scaled(std::move(canvas), width, height);
}

std::vector<Screen> X11Desktop::screens() {
    if (!d_->ok()) return {};
    d_->drain();
    return d_->screens();
}

std::optional<std::int32_t> X11Desktop::frontmostProcess() {
    if (!d_->ok()) return std::nullopt;
    d_->drain();
    const auto p = d_->rootProperty(d_->a._NET_ACTIVE_WINDOW);
    const auto w = p ? p->cardinal() : std::nullopt;
    if (!w || *w == XCB_NONE) return std::nullopt;
    return d_->pidOf(*w);
}

std::unique_ptr<Subscription> X11Desktop::observeActivations(std::function<void(std::int32_t pid)> handler) {
    return std::make_unique<ActivationWatcher>(d_->display, std::move(handler), frontmostProcess());
}

std::vector<OnScreenWindow> X11Desktop::onScreenWindows() {
    if (!d_->ok()) return {};
    d_->drain();
    return d_->onScreenWindows();
}

std::unique_ptr<OverlayWindow> X11Desktop::createOverlay(const std::string& title) {
    if (!d_->ok()) return nullptr;
    return std::make_unique<X11Overlay>(d_, title);
}

bool X11Desktop::isTrusted() {
    if (!d_->ok()) return false;
    d_->drain();
    return d_->wmRunning();
}

Result<std::vector<std::uint32_t>> X11Desktop::windowsOf(std::int32_t pid) {
    if (!d_->ok()) return makeError("The connection to the X server was lost", 2);
    d_->drain();
    if (!d_->wmRunning()) return makeError("No window manager is running", 1);
    const auto list = d_->rootProperty(d_->a._NET_CLIENT_LIST);
    if (!list) return makeError("The window manager lists no windows", 3);
    std::vector<xcb_window_t> windows;
    for (auto w : list->cardinals())
        windows.push_back(w);
    std::vector<std::uint32_t> out;
    for (const auto& info : d_->describe(windows))
        if (info.exists && info.pid == pid) out.push_back(info.id);
    return out;
}

std::optional<Point> X11Desktop::position(std::uint32_t window) {
    if (!d_->ok()) return std::nullopt;
    Owned<xcb_translate_coordinates_reply_t> p{xcb_translate_coordinates_reply(
        d_->c, xcb_translate_coordinates(d_->c, window, d_->root, 0, 0), nullptr)};
    if (!p) return std::nullopt;
    return Point{double(p->dst_x), double(p->dst_y)};
}

std::optional<Size> X11Desktop::size(std::uint32_t window) {
    if (!d_->ok()) return std::nullopt;
    Owned<xcb_get_geometry_reply_t> g{
        xcb_get_geometry_reply(d_->c, xcb_get_geometry(d_->c, window), nullptr)};
    if (!g) return std::nullopt;
    return Size{double(g->width), double(g->height)};
}

std::optional<std::string> X11Desktop::title(std::uint32_t window) {
    if (!d_->ok()) return std::nullopt;
    d_->drain();
    const auto info = d_->describe({window});
    if (info.empty() || !info[0].exists) return std::nullopt;
    return info[0].title;
}

std::optional<bool> X11Desktop::isFullScreen(std::uint32_t window) {
    if (!d_->ok()) return std::nullopt;
    d_->drain();
    const auto info = d_->describe({window});
    if (info.empty() || !info[0].exists) return std::nullopt;
    return info[0].fullScreen;
}

bool X11Desktop::isSizeSettable(std::uint32_t window) {
    if (!d_->ok()) return false;
    d_->drain();
    xcb_size_hints_t hints{};
    if (xcb_icccm_get_wm_normal_hints_reply(d_->c, xcb_icccm_get_wm_normal_hints(d_->c, window), &hints,
                                            nullptr)) {
        const bool hasMin = hints.flags & XCB_ICCCM_SIZE_HINT_P_MIN_SIZE;
        const bool hasMax = hints.flags & XCB_ICCCM_SIZE_HINT_P_MAX_SIZE;
        if (hasMin && hasMax && hints.min_width == hints.max_width && hints.min_height == hints.max_height &&
            hints.max_width > 0)
            return false;
    }
    if (const auto actions = readProperty(d_->c, window, d_->a._NET_WM_ALLOWED_ACTIONS)) {
        const auto v = actions->cardinals();
        if (std::find(v.begin(), v.end(), d_->a._NET_WM_ACTION_RESIZE) == v.end()) return false;
    }
    return true;
}

FrameExtents X11Desktop::frameExtents(std::uint32_t window) {
    if (!d_->ok()) return {};
    return d_->frameExtents(window);
}

bool X11Desktop::setPosition(std::uint32_t window, Point clientTopLeft) {
    if (!d_->ok() || !std::isfinite(clientTopLeft.x) || !std::isfinite(clientTopLeft.y)) return false;
    d_->drain();
    // The request places the frame's outer corner.
    const FrameExtents e = d_->frameExtents(window);
    d_->sendMoveResize(window, (1u << 8) | (1u << 9), std::int32_t(std::lround(clientTopLeft.x - e.left)),
                       std::int32_t(std::lround(clientTopLeft.y - e.top)), 0, 0);
    return true;
}

bool X11Desktop::setSize(std::uint32_t window, Size clientSize) {
    if (!d_->ok() || !(clientSize.width >= 1) || !(clientSize.height >= 1) || clientSize.width > 32767 ||
        clientSize.height > 32767)
        return false;
    d_->drain();
    d_->sendMoveResize(window, (1u << 10) | (1u << 11), 0, 0, std::int32_t(std::lround(clientSize.width)),
                       std::int32_t(std::lround(clientSize.height)));
    return true;
}

} // namespace lc::x11
