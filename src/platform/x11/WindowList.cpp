#include "platform/x11/WindowList.h"

#include "platform/x11/WindowInfo.h"

#include <xcb/randr.h>

#include <algorithm>
#include <fstream>
#include <set>

namespace lc::x11 {
namespace {

constexpr std::uint32_t kAllDesktops = 0xffffffff;

std::string processName(std::int32_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return cleanText(name, TextEncoding::utf8, 256);
}

} // namespace

std::vector<xcb_window_t> WindowList::clients(const std::vector<xcb_window_t>& children, bool& managed) {
    managed = d_->wmRunning();
    if (managed) {
        if (const auto p = d_->rootProperty(d_->atoms()._NET_CLIENT_LIST_STACKING)) {
            const auto v = p->cardinals();
            return {v.begin(), v.end()};
        }
        if (const auto p = d_->rootProperty(d_->atoms()._NET_CLIENT_LIST)) {
            const auto v = p->cardinals();
            return {v.begin(), v.end()};
        }
        return {};
    }
    // Without a window manager: the top-level windows that are not override-redirect.
    std::vector<AttributesRequest> attrs;
    for (auto w : children)
        attrs.push_back(requestAttributes(d_->c(), w));
    std::vector<xcb_window_t> out;
    for (std::size_t i = 0; i < children.size(); ++i) {
        const auto r = attrs[i].take();
        if (r && !r->override_redirect && r->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT)
            out.push_back(children[i]);
    }
    return out;
}

// The clients, and the override-redirect windows (popups, overlays) shown at the root, front to
// back by the real stacking of their top-level windows.
std::vector<xcb_window_t> WindowList::candidates(const std::vector<xcb_window_t>& children) {
    bool managed = false;
    auto out = clients(children, managed);
    const std::set<xcb_window_t> known(out.begin(), out.end());
    std::vector<AttributesRequest> attrs;
    for (auto w : children)
        attrs.push_back(requestAttributes(d_->c(), w));
    for (std::size_t i = 0; i < children.size(); ++i) {
        const auto r = attrs[i].take();
        if (r && r->override_redirect && r->map_state == XCB_MAP_STATE_VIEWABLE && !known.count(children[i]))
            out.push_back(children[i]);
    }
    const auto tops = d_->topLevels(out);
    std::map<xcb_window_t, std::size_t> stackIndex;
    for (std::size_t i = 0; i < children.size(); ++i)
        stackIndex[children[i]] = i;
    auto indexOf = [&](xcb_window_t w) -> long {
        auto t = tops.find(w);
        if (t == tops.end()) return -1;
        auto s = stackIndex.find(t->second);
        return s == stackIndex.end() ? -1 : long(s->second);
    };
    std::stable_sort(out.begin(), out.end(),
                     [&](xcb_window_t l, xcb_window_t r) { return indexOf(l) > indexOf(r); });
    return out;
}

Result<ShareableContent> WindowList::shareableContent(bool onScreenOnly) {
    if (!d_->ok()) return makeError("The connection to the X server was lost");
    d_->drain();
    const auto current = d_->currentDesktop();
    ShareableContent content;
    // Titled popups are listed too, above the ordinary layer.
    for (const auto& info : describeWindows(*d_, candidates(d_->rootChildren()))) {
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
        w.owningApplication = owner(info);
        content.windows.push_back(std::move(w));
    }
    std::uint32_t id = 0;
    for (const auto& s : monitors())
        content.displays.push_back({id++, s.frame});
    if (!d_->ok()) return makeError("The connection to the X server was lost");
    return content;
}

WindowContentInfo WindowList::contentInfo(const ShareableWindow& window) {
    WindowContentInfo info;
    if (!d_->ok()) return info;
    if (const auto g = requestGeometry(d_->c(), window.windowID).take())
        info.contentRect = Rect{0, 0, double(g->width), double(g->height)};
    return info;
}

std::optional<OwningApplication> WindowList::owner(const WindowInfo& info) {
    if (!info.pid) return std::nullopt;
    OwningApplication app;
    app.processID = *info.pid;
    const std::string& cls = !info.wmClass.className.empty() ? info.wmClass.className : info.wmClass.instance;
    app.bundleIdentifier = !info.appId.empty() ? info.appId : cls;
    if (auto name = desktopEntries_.nameFor(info.appId, cls))
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

std::vector<Screen> WindowList::screens() {
    if (!d_->ok()) return {};
    d_->drain();
    return monitors();
}

// RandR 1.5 monitors, primary first; empty without RandR.
std::vector<Screen> WindowList::randrMonitors() {
    xcb_connection_t* c = d_->c();
    std::vector<Screen> out;
    if (!d_->extensions().randr) return out;
    const auto r = pending(c, xcb_randr_get_monitors(c, d_->root(), 1), xcb_randr_get_monitors_reply).take();
    if (!r) return out;
    std::vector<Pending<xcb_get_atom_name_reply_t, xcb_get_atom_name_cookie_t>> names;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(r.get()); it.rem;
         xcb_randr_monitor_info_next(&it)) {
        Screen s;
        s.frame =
            Rect{double(it.data->x), double(it.data->y), double(it.data->width), double(it.data->height)};
        s.isPrimary = it.data->primary;
        names.push_back(pending(c, xcb_get_atom_name(c, it.data->name), xcb_get_atom_name_reply));
        out.push_back(s);
    }
    for (std::size_t i = 0; i < out.size(); ++i)
        if (const auto n = names[i].take())
            out[i].name.assign(xcb_get_atom_name_name(n.get()),
                               std::size_t(xcb_get_atom_name_name_length(n.get())));
    std::stable_partition(out.begin(), out.end(), [](const Screen& s) { return s.isPrimary; });
    // Without a primary output (Xvfb) the first monitor is the primary screen.
    if (!out.empty()) out.front().isPrimary = true;
    return out;
}

// The current desktop's work area; empty when the window manager sets none.
Rect WindowList::workArea() {
    const auto p = d_->rootProperty(d_->atoms()._NET_WORKAREA);
    if (!p) return {};
    const auto v = p->cardinals();
    const std::size_t desk = d_->currentDesktop().value_or(0);
    if (v.size() < 4 * (desk + 1)) return {};
    return Rect{double(v[4 * desk]), double(v[4 * desk + 1]), double(v[4 * desk + 2]),
                double(v[4 * desk + 3])};
}

std::vector<Screen> WindowList::monitors() {
    std::vector<Screen> out = randrMonitors();
    if (out.empty() && d_->screen()) {
        Screen s;
        s.name = "screen";
        s.frame = Rect{0, 0, double(d_->screen()->width_in_pixels), double(d_->screen()->height_in_pixels)};
        s.isPrimary = true;
        out.push_back(s);
    }
    const Rect work = workArea();
    for (auto& s : out) {
        const Rect visible = work.isEmpty() ? s.frame : s.frame.intersected(work);
        s.visibleFrame = visible.isEmpty() ? s.frame : visible;
    }
    return out;
}

std::optional<std::int32_t> WindowList::frontmostProcess() {
    if (!d_->ok()) return std::nullopt;
    d_->drain();
    const auto p = d_->rootProperty(d_->atoms()._NET_ACTIVE_WINDOW);
    const auto w = p ? p->cardinal() : std::nullopt;
    if (!w || *w == XCB_NONE) return std::nullopt;
    return d_->pidOf(*w);
}

std::vector<OnScreenWindow> WindowList::onScreenWindows() {
    if (!d_->ok()) return {};
    d_->drain();
    xcb_connection_t* c = d_->c();
    const auto shown = shownFrontToBack();
    std::vector<std::pair<GeometryRequest, TranslationRequest>> places;
    for (auto w : shown)
        places.emplace_back(requestGeometry(c, w), requestTranslation(c, w, d_->root()));
    std::vector<OnScreenWindow> out;
    for (std::size_t i = 0; i < shown.size(); ++i) {
        const auto g = places[i].first.take();
        const auto p = places[i].second.take();
        if (!g || !p) continue;
        out.push_back(
            {shown[i], Rect{double(p->dst_x), double(p->dst_y), double(g->width), double(g->height)}});
    }
    return out;
}

// The mapped root children front to back, each named by its client window when it holds one.
std::vector<xcb_window_t> WindowList::shownFrontToBack() {
    const auto children = d_->rootChildren();
    bool managed = false;
    std::map<xcb_window_t, xcb_window_t> clientIn; // top-level → client
    for (const auto& [client, top] : d_->topLevels(clients(children, managed)))
        clientIn[top] = client;
    std::vector<xcb_window_t> shown;
    std::vector<AttributesRequest> attrs;
    for (auto w : children)
        attrs.push_back(requestAttributes(d_->c(), w));
    for (std::size_t i = 0; i < children.size(); ++i) {
        const auto r = attrs[i].take();
        if (!r || r->map_state != XCB_MAP_STATE_VIEWABLE || r->_class != XCB_WINDOW_CLASS_INPUT_OUTPUT)
            continue;
        if (auto it = clientIn.find(children[i]); it != clientIn.end())
            shown.push_back(it->second);
        else if (r->override_redirect || !managed)
            shown.push_back(children[i]);
    }
    std::reverse(shown.begin(), shown.end());
    return shown;
}

} // namespace lc::x11
