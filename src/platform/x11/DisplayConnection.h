#pragma once
// One connection to an X display with its atoms and extensions, and the queries about the
// window tree that several parts of the back end ask. Requests may be sent from any thread (xcb
// serialises them); nobody reads events on this connection, so drain() drops the errors of
// unchecked requests that pile up there. Owned by shared_ptr: the desktop and every overlay it
// made hold it.
#include "platform/WindowControl.h"
#include "platform/x11/Xcb.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lc::x11 {

class DisplayConnection {
public:
    // Connects to `display` ($DISPLAY when empty); an error when no X server with a screen answers.
    static Result<std::shared_ptr<DisplayConnection>> open(const std::string& display);
    explicit DisplayConnection(const std::string& display);

    const std::string& name() const { return name_; }
    xcb_connection_t* c() const { return c_; }
    xcb_window_t root() const { return root_; }
    const xcb_screen_t* screen() const { return conn_.screen(); }
    const Atoms& atoms() const { return atoms_; }
    const Extensions& extensions() const { return ext_; }

    // False once the X server has gone away.
    bool ok() const { return conn_.ok(); }
    void drain();

    std::optional<Property> rootProperty(xcb_atom_t prop);
    // An EWMH window manager runs (it names a check window that names itself).
    bool wmRunning();
    std::optional<std::uint32_t> currentDesktop();
    // Direct children of the root, bottom to top.
    std::vector<xcb_window_t> rootChildren();
    // The root child that holds each window (the window manager's frame, or the window itself);
    // windows that are gone are missing.
    std::map<xcb_window_t, xcb_window_t> topLevels(const std::vector<xcb_window_t>& windows);
    // Process ids by X-Resource, for windows of clients that do not set _NET_WM_PID.
    std::map<xcb_window_t, std::int32_t> pidsFromServer(const std::vector<xcb_window_t>& windows);
    // _NET_WM_PID, else the X-Resource answer.
    std::optional<std::int32_t> pidOf(xcb_window_t w);
    FrameExtents frameExtents(xcb_window_t w);

private:
    std::string name_;
    Connection conn_;
    xcb_connection_t* c_ = nullptr;
    xcb_window_t root_ = XCB_NONE;
    Atoms atoms_;
    Extensions ext_;
};

} // namespace lc::x11
