#pragma once
// Small owning wrappers and helpers around xcb, shared by the X11 back end's sources: typed
// requests whose replies are owned, errors that keep what the server said, events. Only files
// in this folder and the back end's own tests include it. Nothing here locks: xcb itself lets any
// thread send and collect.
#include "common/Result.h"

#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace lc::x11 {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
// Replies, errors and events from xcb are malloc'ed.
template <class T> using Owned = std::unique_ptr<T, FreeDeleter>;

// Why a request got no reply: the X error the server sent (`error` may be null), or the loss of
// the connection. Domain "X11"; the code is the X error code or xcb's connection error.
Error requestError(xcb_connection_t* c, const xcb_generic_error_t* error);

// A reply owned by its holder, or the error that came instead.
template <class T> class [[nodiscard]] Reply : public Result<Owned<T>> {
public:
    using Result<Owned<T>>::Result;
    T* get() const { return this->ok() ? this->value().get() : nullptr; }
    T* operator->() const { return this->value().get(); }
};

// A request in flight; many can be sent before the first answer is collected. take() collects
// the reply once; a request dropped without it has its reply discarded, so that xcb keeps none.
template <class T, class Cookie> class [[nodiscard]] Pending {
public:
    using Collect = T* (*)(xcb_connection_t*, Cookie, xcb_generic_error_t**);

    Pending(xcb_connection_t* c, Cookie cookie, Collect collect)
        : c_(c), cookie_(cookie), collect_(collect) {}
    Pending(Pending&& o) noexcept
        : c_(std::exchange(o.c_, nullptr)), cookie_(o.cookie_), collect_(o.collect_) {}
    Pending& operator=(Pending&&) = delete;
    Pending(const Pending&) = delete;
    Pending& operator=(const Pending&) = delete;
    ~Pending() {
        if (c_) xcb_discard_reply(c_, cookie_.sequence);
    }

    Reply<T> take() {
        xcb_connection_t* c = std::exchange(c_, nullptr);
        if (!c) return makeError("The reply was already collected", 0, "X11");
        xcb_generic_error_t* e = nullptr;
        Owned<T> reply{collect_(c, cookie_, &e)};
        Owned<xcb_generic_error_t> error{e};
        if (!reply) return requestError(c, error.get());
        return reply;
    }

private:
    xcb_connection_t* c_;
    Cookie cookie_;
    Collect collect_;
};

template <class T, class Cookie>
Pending<T, Cookie> pending(xcb_connection_t* c, Cookie cookie,
                           T* (*collect)(xcb_connection_t*, Cookie, xcb_generic_error_t**)) {
    return {c, cookie, collect};
}

// The requests of the core protocol the back end sends most.
using GeometryRequest = Pending<xcb_get_geometry_reply_t, xcb_get_geometry_cookie_t>;
using AttributesRequest = Pending<xcb_get_window_attributes_reply_t, xcb_get_window_attributes_cookie_t>;
using TranslationRequest = Pending<xcb_translate_coordinates_reply_t, xcb_translate_coordinates_cookie_t>;
using TreeRequest = Pending<xcb_query_tree_reply_t, xcb_query_tree_cookie_t>;
using PointerRequest = Pending<xcb_query_pointer_reply_t, xcb_query_pointer_cookie_t>;

inline GeometryRequest requestGeometry(xcb_connection_t* c, xcb_drawable_t d) {
    return pending(c, xcb_get_geometry(c, d), xcb_get_geometry_reply);
}
inline AttributesRequest requestAttributes(xcb_connection_t* c, xcb_window_t w) {
    return pending(c, xcb_get_window_attributes(c, w), xcb_get_window_attributes_reply);
}
// Where the window's top-left corner is in `to`'s coordinates.
inline TranslationRequest requestTranslation(xcb_connection_t* c, xcb_window_t w, xcb_window_t to) {
    return pending(c, xcb_translate_coordinates(c, w, to, 0, 0), xcb_translate_coordinates_reply);
}
inline TreeRequest requestTree(xcb_connection_t* c, xcb_window_t w) {
    return pending(c, xcb_query_tree(c, w), xcb_query_tree_reply);
}
inline PointerRequest requestPointer(xcb_connection_t* c, xcb_window_t w) {
    return pending(c, xcb_query_pointer(c, w), xcb_query_pointer_reply);
}

// Waits for the outcome of a checked request without a reply.
Result<void> check(xcb_connection_t* c, xcb_void_cookie_t cookie);

// Events (and errors of unchecked requests) as they arrive; null when none is there.
using Event = Owned<xcb_generic_event_t>;
inline Event pollEvent(xcb_connection_t* c) {
    return Event{xcb_poll_for_event(c)};
}
// Only what xcb has already read from the socket (while waiting for a reply, for instance).
inline Event pollQueuedEvent(xcb_connection_t* c) {
    return Event{xcb_poll_for_queued_event(c)};
}
// The event's type without the "sent by a client" bit; 0 for an error.
inline int eventType(const xcb_generic_event_t& ev) {
    return ev.response_type & 0x7f;
}

// One connection to the X server, closed when destroyed.
class Connection {
public:
    Connection() = default;
    explicit Connection(const std::string& display);
    Connection(Connection&& o) noexcept : c_(o.c_), screen_(o.screen_) { o.c_ = nullptr; }
    Connection& operator=(Connection&& o) noexcept;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();

    xcb_connection_t* get() const { return c_; }
    bool ok() const { return c_ && !xcb_connection_has_error(c_); }
    xcb_screen_t* screen() const { return screen_; }
    xcb_window_t root() const { return screen_ ? screen_->root : XCB_NONE; }

private:
    xcb_connection_t* c_ = nullptr;
    xcb_screen_t* screen_ = nullptr;
};

// Every atom the back end uses, interned once per connection.
struct Atoms {
#define LC_X11_ATOMS(X)                                                                                      \
    X(UTF8_STRING)                                                                                           \
    X(COMPOUND_TEXT)                                                                                         \
    X(WM_PROTOCOLS)                                                                                          \
    X(WM_DELETE_WINDOW)                                                                                      \
    X(WM_STATE)                                                                                              \
    X(_NET_SUPPORTING_WM_CHECK)                                                                              \
    X(_NET_CLIENT_LIST)                                                                                      \
    X(_NET_CLIENT_LIST_STACKING)                                                                             \
    X(_NET_ACTIVE_WINDOW)                                                                                    \
    X(_NET_CURRENT_DESKTOP)                                                                                  \
    X(_NET_WORKAREA)                                                                                         \
    X(_NET_WM_NAME)                                                                                          \
    X(_NET_WM_PID)                                                                                           \
    X(_NET_WM_DESKTOP)                                                                                       \
    X(_NET_WM_STATE)                                                                                         \
    X(_NET_WM_STATE_HIDDEN)                                                                                  \
    X(_NET_WM_STATE_ABOVE)                                                                                   \
    X(_NET_WM_STATE_FULLSCREEN)                                                                              \
    X(_NET_WM_WINDOW_TYPE)                                                                                   \
    X(_NET_WM_WINDOW_TYPE_NORMAL)                                                                            \
    X(_NET_WM_WINDOW_TYPE_DIALOG)                                                                            \
    X(_NET_WM_WINDOW_TYPE_UTILITY)                                                                           \
    X(_NET_WM_WINDOW_TYPE_DESKTOP)                                                                           \
    X(_NET_WM_WINDOW_TYPE_DOCK)                                                                              \
    X(_NET_WM_ALLOWED_ACTIONS)                                                                               \
    X(_NET_WM_ACTION_RESIZE)                                                                                 \
    X(_NET_FRAME_EXTENTS)                                                                                    \
    X(_NET_MOVERESIZE_WINDOW)                                                                                \
    X(_GTK_APPLICATION_ID)                                                                                   \
    X(_KDE_NET_WM_DESKTOP_FILE)
#define LC_X11_DECLARE(name) xcb_atom_t name = XCB_ATOM_NONE;
    LC_X11_ATOMS(LC_X11_DECLARE)
#undef LC_X11_DECLARE

    void intern(xcb_connection_t* c);
};

// A property's raw value: its type, item format (8, 16, 32) and bytes.
struct Property {
    xcb_atom_t type = XCB_ATOM_NONE;
    int format = 0;
    std::string bytes;

    std::vector<std::uint32_t> cardinals() const;
    std::optional<std::uint32_t> cardinal() const;
};

// Property requests pipelined: ask for many first, then collect the answers. An absent property
// and a failed request both collect as nullopt.
using PropertyRequest = Pending<xcb_get_property_reply_t, xcb_get_property_cookie_t>;
PropertyRequest requestProperty(xcb_connection_t* c, xcb_window_t w, xcb_atom_t prop,
                                std::uint32_t maxBytes = 65536);
std::optional<Property> collectProperty(PropertyRequest& request);
std::optional<Property> readProperty(xcb_connection_t* c, xcb_window_t w, xcb_atom_t prop,
                                     std::uint32_t maxBytes = 65536);

// The extensions the back end uses, each with its version negotiated (XFixes and Damage
// requests fail silently otherwise).
struct Extensions {
    bool composite = false, damage = false, xfixes = false, shm = false, shape = false, randr = false,
         res = false;
    std::uint8_t damageEventBase = 0;
    std::uint8_t xfixesEventBase = 0;
    bool canCapture() const { return composite && damage && xfixes && shm; }
};
Extensions initExtensions(xcb_connection_t* c);

// Waits until the server has handled every request sent so far; false when the connection broke.
bool sync(xcb_connection_t* c);

// The visual of that id on the connection's screens, when there is one.
std::optional<xcb_visualtype_t> findVisual(xcb_connection_t* c, xcb_visualid_t id);
// Red, green and blue (0…1) as a pixel of a true-colour visual (8 or 10 bits a channel, or other);
// the usual 8-bit layout without one.
std::uint32_t truePixel(const std::optional<xcb_visualtype_t>& v, double red, double green, double blue);

} // namespace lc::x11
