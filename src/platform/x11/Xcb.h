#pragma once
// Small owning wrappers and helpers around xcb, shared by the X11 back end's sources. Only
// files in this folder include it.
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lc::x11 {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
// Replies, errors and events from xcb are malloc'ed.
template <class T> using Owned = std::unique_ptr<T, FreeDeleter>;

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

// Property requests pipelined: ask for many first, then collect the answers.
xcb_get_property_cookie_t requestProperty(xcb_connection_t* c, xcb_window_t w, xcb_atom_t prop,
                                          std::uint32_t maxBytes = 65536);
std::optional<Property> collectProperty(xcb_connection_t* c, xcb_get_property_cookie_t cookie);
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

} // namespace lc::x11
