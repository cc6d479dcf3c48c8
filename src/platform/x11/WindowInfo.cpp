#include "platform/x11/WindowInfo.h"

namespace lc::x11 {
namespace {

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

// Every request about one window, sent together.
struct Requests {
    Requests(xcb_connection_t* c, xcb_window_t w, xcb_window_t root, const Atoms& a)
        : attrs(requestAttributes(c, w)), geo(requestGeometry(c, w)), pos(requestTranslation(c, w, root)),
          netName(requestProperty(c, w, a._NET_WM_NAME, 4 * kMaxTitleBytes)),
          wmName(requestProperty(c, w, XCB_ATOM_WM_NAME, 4 * kMaxTitleBytes)),
          pid(requestProperty(c, w, a._NET_WM_PID, 4)), cls(requestProperty(c, w, XCB_ATOM_WM_CLASS, 1024)),
          type(requestProperty(c, w, a._NET_WM_WINDOW_TYPE, 256)),
          state(requestProperty(c, w, a._NET_WM_STATE, 256)),
          desktop(requestProperty(c, w, a._NET_WM_DESKTOP, 4)),
          gtkId(requestProperty(c, w, a._GTK_APPLICATION_ID, 1024)),
          kdeFile(requestProperty(c, w, a._KDE_NET_WM_DESKTOP_FILE, 1024)) {}

    AttributesRequest attrs;
    GeometryRequest geo;
    TranslationRequest pos;
    PropertyRequest netName, wmName, pid, cls, type, state, desktop, gtkId, kdeFile;
};

// The stacking layer from the window types and states; `above` from _NET_WM_STATE_ABOVE.
int layerOf(WindowInfo& info, const std::optional<Property>& type, bool above, const Atoms& a) {
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
        if (!known && !types.empty()) layer = kLayerFloating; // toolbars, menus, splashes, notifications
    }
    if (layer == kLayerNormal && above) layer = kLayerFloating;
    if (info.overrideRedirect) layer = kLayerPopup;
    return layer;
}

// Fills `info` from the answers; false when the window is gone.
bool collect(WindowInfo& info, Requests& k, const Atoms& a) {
    const auto attrs = k.attrs.take();
    const auto geo = k.geo.take();
    const auto pos = k.pos.take();
    const auto netName = collectProperty(k.netName), wmName = collectProperty(k.wmName);
    const auto pid = collectProperty(k.pid), cls = collectProperty(k.cls);
    const auto type = collectProperty(k.type), state = collectProperty(k.state);
    const auto desktop = collectProperty(k.desktop), gtkId = collectProperty(k.gtkId);
    const auto kdeFile = collectProperty(k.kdeFile);
    if (!attrs || !geo || !pos) return false;
    info.exists = true;
    info.overrideRedirect = attrs->override_redirect;
    info.viewable = attrs->map_state == XCB_MAP_STATE_VIEWABLE;
    info.frame = Rect{double(pos->dst_x), double(pos->dst_y), double(geo->width), double(geo->height)};
    info.title = decodeTitle(netName, wmName, a);
    if (pid && pid->cardinal() && *pid->cardinal() > 0) info.pid = std::int32_t(*pid->cardinal());
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
    info.layer = layerOf(info, type, above, a);
    return true;
}

} // namespace

std::vector<WindowInfo> describeWindows(DisplayConnection& d, const std::vector<xcb_window_t>& windows) {
    std::vector<Requests> requests;
    requests.reserve(windows.size());
    for (auto w : windows)
        requests.emplace_back(d.c(), w, d.root(), d.atoms());
    std::vector<WindowInfo> out(windows.size());
    std::vector<xcb_window_t> withoutPid;
    for (std::size_t i = 0; i < windows.size(); ++i) {
        out[i].id = windows[i];
        if (collect(out[i], requests[i], d.atoms()) && !out[i].pid) withoutPid.push_back(windows[i]);
    }
    for (const auto& [w, pid] : d.pidsFromServer(withoutPid))
        for (auto& info : out)
            if (info.id == w) info.pid = pid;
    return out;
}

} // namespace lc::x11
