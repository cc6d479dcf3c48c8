#pragma once
// An outline around a window: an override-redirect window shaped as a rounded ring that clicks
// pass through, stacked just above the target's frame. Used from one thread at a time (the UI's);
// it holds the shared connection, so it may outlive the desktop that made it. The window closes
// with the object.
#include "platform/WindowServer.h"
#include "platform/x11/DisplayConnection.h"

#include <memory>
#include <optional>
#include <string>

namespace lc::x11 {

class Overlay final : public OverlayWindow {
public:
    Overlay(std::shared_ptr<DisplayConnection> d, const std::string& title);
    ~Overlay() override;
    Overlay(const Overlay&) = delete;
    Overlay& operator=(const Overlay&) = delete;

    std::uint32_t windowID() const override { return window_; }
    Rect frame() const override { return frame_; }
    void setFrame(const Rect& frame) override;
    void setRing(const RingStyle& ring) override;
    bool isVisible() const override { return visible_; }
    void show() override;
    void hide() override;
    void orderAbove(std::uint32_t target) override;

private:
    void setProperties(const std::string& title);
    void reshape();

    std::shared_ptr<DisplayConnection> d_;
    std::optional<xcb_visualtype_t> visual_; // the screen's: pixels are in its format
    xcb_window_t window_ = XCB_NONE;
    Rect frame_{0, 0, 100, 100};
    RingStyle ring_;
    bool visible_ = false;
};

} // namespace lc::x11
