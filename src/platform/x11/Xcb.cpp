#include "platform/x11/Xcb.h"

#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/res.h>
#include <xcb/shape.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace lc::x11 {

Connection::Connection(const std::string& display) {
    int screenNo = 0;
    c_ = xcb_connect(display.empty() ? nullptr : display.c_str(), &screenNo);
    if (xcb_connection_has_error(c_)) return;
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c_));
    for (int i = 0; i < screenNo && it.rem; ++i)
        xcb_screen_next(&it);
    screen_ = it.rem ? it.data : nullptr;
}

Connection& Connection::operator=(Connection&& o) noexcept {
    if (this != &o) {
        if (c_) xcb_disconnect(c_);
        c_ = o.c_;
        screen_ = o.screen_;
        o.c_ = nullptr;
        o.screen_ = nullptr;
    }
    return *this;
}

Connection::~Connection() {
    if (c_) xcb_disconnect(c_); // also frees a connection that failed to open
}

void Atoms::intern(xcb_connection_t* c) {
#define LC_X11_REQUEST(name)                                                                                 \
    auto cookie_##name = xcb_intern_atom(c, 0, std::uint16_t(std::strlen(#name)), #name);
    LC_X11_ATOMS(LC_X11_REQUEST)
#undef LC_X11_REQUEST
#define LC_X11_COLLECT(name)                                                                                 \
    if (Owned<xcb_intern_atom_reply_t> r{xcb_intern_atom_reply(c, cookie_##name, nullptr)}) name = r->atom;
    LC_X11_ATOMS(LC_X11_COLLECT)
#undef LC_X11_COLLECT
}

std::vector<std::uint32_t> Property::cardinals() const {
    std::vector<std::uint32_t> out;
    if (format != 32 || bytes.size() < 4) return out;
    out.resize(bytes.size() / 4);
    std::memcpy(out.data(), bytes.data(), out.size() * 4);
    return out;
}

std::optional<std::uint32_t> Property::cardinal() const {
    const auto v = cardinals();
    if (v.empty()) return std::nullopt;
    return v.front();
}

PropertyRequest requestProperty(xcb_connection_t* c, xcb_window_t w, xcb_atom_t prop,
                                std::uint32_t maxBytes) {
    return pending(c, xcb_get_property(c, 0, w, prop, XCB_GET_PROPERTY_TYPE_ANY, 0, (maxBytes + 3) / 4),
                   xcb_get_property_reply);
}

std::optional<Property> collectProperty(PropertyRequest& request) {
    const auto r = request.take();
    if (!r || r->type == XCB_ATOM_NONE) return std::nullopt;
    Property p;
    p.type = r->type;
    p.format = r->format;
    const int len = xcb_get_property_value_length(r.get());
    p.bytes.assign(static_cast<const char*>(xcb_get_property_value(r.get())), std::size_t(std::max(0, len)));
    return p;
}

std::optional<Property> readProperty(xcb_connection_t* c, xcb_window_t w, xcb_atom_t prop,
                                     std::uint32_t maxBytes) {
    auto request = requestProperty(c, w, prop, maxBytes);
    return collectProperty(request);
}

Error requestError(xcb_connection_t* c, const xcb_generic_error_t* error) {
    if (error)
        return makeError("The X server refused request " + std::to_string(error->major_code) + "." +
                             std::to_string(error->minor_code) + " (X error " +
                             std::to_string(error->error_code) + ")",
                         error->error_code, "X11");
    if (const int lost = xcb_connection_has_error(c))
        return makeError("The connection to the X server was lost", lost, "X11");
    return makeError("The X server sent no reply", 0, "X11");
}

Result<void> check(xcb_connection_t* c, xcb_void_cookie_t cookie) {
    Owned<xcb_generic_error_t> error{xcb_request_check(c, cookie)};
    if (error) return requestError(c, error.get());
    return {};
}

namespace {

const xcb_query_extension_reply_t* present(xcb_connection_t* c, xcb_extension_t* ext) {
    const xcb_query_extension_reply_t* r = xcb_get_extension_data(c, ext);
    return r && r->present ? r : nullptr;
}

// Sends a version query only for an extension the server has; nullopt otherwise.
template <class Send, class T, class Cookie>
auto askIf(bool has, xcb_connection_t* c, Send send,
           T* (*collect)(xcb_connection_t*, Cookie, xcb_generic_error_t**))
    -> std::optional<Pending<T, Cookie>> {
    if (!has) return std::nullopt;
    return pending(c, send(), collect);
}

} // namespace

Extensions initExtensions(xcb_connection_t* c) {
    Extensions e;
    if (!c || xcb_connection_has_error(c)) return e;
    for (xcb_extension_t* ext : {&xcb_composite_id, &xcb_damage_id, &xcb_xfixes_id, &xcb_shm_id,
                                 &xcb_shape_id, &xcb_randr_id, &xcb_res_id})
        xcb_prefetch_extension_data(c, ext);
    const auto* damage = present(c, &xcb_damage_id);
    const auto* xfixes = present(c, &xcb_xfixes_id);
    e.shape = present(c, &xcb_shape_id) != nullptr;
    // XFixes first: Damage builds on it.
    auto xv = askIf(
        xfixes, c, [c] { return xcb_xfixes_query_version(c, 5, 0); }, xcb_xfixes_query_version_reply);
    auto cv = askIf(
        present(c, &xcb_composite_id), c, [c] { return xcb_composite_query_version(c, 0, 4); },
        xcb_composite_query_version_reply);
    auto sv = askIf(
        present(c, &xcb_shm_id), c, [c] { return xcb_shm_query_version(c); }, xcb_shm_query_version_reply);
    auto rv = askIf(
        present(c, &xcb_randr_id), c, [c] { return xcb_randr_query_version(c, 1, 5); },
        xcb_randr_query_version_reply);
    auto resv = askIf(
        present(c, &xcb_res_id), c, [c] { return xcb_res_query_version(c, 1, 2); },
        xcb_res_query_version_reply);
    if (xv) {
        e.xfixes = xv->take().ok();
        e.xfixesEventBase = xfixes->first_event;
    }
    if (damage) {
        e.damage = pending(c, xcb_damage_query_version(c, 1, 1), xcb_damage_query_version_reply).take().ok();
        e.damageEventBase = damage->first_event;
    }
    if (cv) {
        const auto r = cv->take();
        e.composite = r && (r->major_version > 0 || r->minor_version >= 2);
    }
    if (sv) e.shm = sv->take().ok();
    if (rv) {
        const auto r = rv->take();
        e.randr = r && (r->major_version > 1 || r->minor_version >= 5);
    }
    if (resv) {
        const auto r = resv->take();
        e.res = r && (r->server_major > 1 || r->server_minor >= 2);
    }
    return e;
}

bool sync(xcb_connection_t* c) {
    return pending(c, xcb_get_input_focus(c), xcb_get_input_focus_reply).take().ok();
}

std::optional<xcb_visualtype_t> findVisual(xcb_connection_t* c, xcb_visualid_t id) {
    for (auto screens = xcb_setup_roots_iterator(xcb_get_setup(c)); screens.rem; xcb_screen_next(&screens))
        for (auto depths = xcb_screen_allowed_depths_iterator(screens.data); depths.rem;
             xcb_depth_next(&depths))
            for (auto v = xcb_depth_visuals_iterator(depths.data); v.rem; xcb_visualtype_next(&v))
                if (v.data->visual_id == id) return *v.data;
    return std::nullopt;
}

std::uint32_t truePixel(const std::optional<xcb_visualtype_t>& v, double red, double green, double blue) {
    auto channel = [](double value, std::uint32_t mask) -> std::uint32_t {
        if (mask == 0) return 0;
        const int shift = std::countr_zero(mask);
        const std::uint32_t top = mask >> shift;
        return std::uint32_t(std::lround(std::clamp(value, 0.0, 1.0) * double(top))) << shift;
    };
    return channel(red, v ? v->red_mask : 0xff0000u) | channel(green, v ? v->green_mask : 0xff00u) |
           channel(blue, v ? v->blue_mask : 0xffu);
}

} // namespace lc::x11
