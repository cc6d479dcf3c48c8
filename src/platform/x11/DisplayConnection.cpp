#include "platform/x11/DisplayConnection.h"

#include <xcb/res.h>

namespace lc::x11 {

Result<std::shared_ptr<DisplayConnection>> DisplayConnection::open(const std::string& display) {
    auto d = std::make_shared<DisplayConnection>(display);
    if (!d->ok() || !d->screen()) return makeError("Cannot connect to the X display");
    return d;
}

DisplayConnection::DisplayConnection(const std::string& display) : name_(display), conn_(display) {
    if (!conn_.ok()) return;
    c_ = conn_.get();
    root_ = conn_.root();
    atoms_.intern(c_);
    ext_ = initExtensions(c_);
}

void DisplayConnection::drain() {
    while (pollEvent(c_)) {
    }
}

std::optional<Property> DisplayConnection::rootProperty(xcb_atom_t prop) {
    return readProperty(c_, root_, prop);
}

bool DisplayConnection::wmRunning() {
    const auto check = rootProperty(atoms_._NET_SUPPORTING_WM_CHECK);
    const auto w = check ? check->cardinal() : std::nullopt;
    if (!w || *w == XCB_NONE) return false;
    const auto self = readProperty(c_, *w, atoms_._NET_SUPPORTING_WM_CHECK);
    return self && self->cardinal() == w;
}

std::optional<std::uint32_t> DisplayConnection::currentDesktop() {
    const auto p = rootProperty(atoms_._NET_CURRENT_DESKTOP);
    return p ? p->cardinal() : std::nullopt;
}

std::vector<xcb_window_t> DisplayConnection::rootChildren() {
    const auto r = requestTree(c_, root_).take();
    if (!r) return {};
    const xcb_window_t* w = xcb_query_tree_children(r.get());
    return {w, w + xcb_query_tree_children_length(r.get())};
}

std::map<xcb_window_t, xcb_window_t> DisplayConnection::topLevels(const std::vector<xcb_window_t>& windows) {
    std::map<xcb_window_t, xcb_window_t> result;
    std::vector<std::pair<xcb_window_t, xcb_window_t>> pending; // (window, current ancestor)
    for (auto w : windows)
        pending.emplace_back(w, w);
    for (int depth = 0; depth < 8 && !pending.empty(); ++depth) {
        std::vector<TreeRequest> trees;
        for (auto& p : pending)
            trees.push_back(requestTree(c_, p.second));
        std::vector<std::pair<xcb_window_t, xcb_window_t>> next;
        for (std::size_t i = 0; i < pending.size(); ++i) {
            const auto r = trees[i].take();
            if (!r) continue; // gone
            if (r->parent == root_ || r->parent == XCB_NONE)
                result[pending[i].first] = pending[i].second;
            else
                next.emplace_back(pending[i].first, r->parent);
        }
        pending = std::move(next);
    }
    return result;
}

std::map<xcb_window_t, std::int32_t>
DisplayConnection::pidsFromServer(const std::vector<xcb_window_t>& windows) {
    std::map<xcb_window_t, std::int32_t> out;
    if (!ext_.res || windows.empty()) return out;
    std::vector<Pending<xcb_res_query_client_ids_reply_t, xcb_res_query_client_ids_cookie_t>> requests;
    for (auto w : windows) {
        xcb_res_client_id_spec_t idSpec{w, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
        requests.push_back(
            pending(c_, xcb_res_query_client_ids(c_, 1, &idSpec), xcb_res_query_client_ids_reply));
    }
    for (std::size_t i = 0; i < windows.size(); ++i) {
        const auto r = requests[i].take();
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

std::optional<std::int32_t> DisplayConnection::pidOf(xcb_window_t w) {
    if (const auto p = readProperty(c_, w, atoms_._NET_WM_PID, 4); p && p->cardinal() && *p->cardinal() > 0)
        return std::int32_t(*p->cardinal());
    const auto m = pidsFromServer({w});
    if (auto it = m.find(w); it != m.end()) return it->second;
    return std::nullopt;
}

FrameExtents DisplayConnection::frameExtents(xcb_window_t w) {
    FrameExtents e;
    if (const auto p = readProperty(c_, w, atoms_._NET_FRAME_EXTENTS)) {
        const auto v = p->cardinals();
        if (v.size() >= 4) e = FrameExtents{double(v[0]), double(v[1]), double(v[2]), double(v[3])};
    }
    return e;
}

} // namespace lc::x11
