#pragma once
// The X11 back end of the window-server, window-control and screen-capture services: one object
// per display that owns the connection and hands each call to the part that knows it (window
// list, window control, capture streams and screenshots, outlines, activation watcher). It may
// be used from any thread. No xcb type appears here.
#include "platform/ScreenCapture.h"
#include "platform/WindowControl.h"
#include "platform/WindowServer.h"

#include <memory>
#include <string>

namespace lc::x11 {

class X11Desktop final : public ScreenCapture, public WindowServer, public WindowControl {
public:
    // Connects to `display` ($DISPLAY when empty); an error when no X server answers.
    static Result<std::shared_ptr<X11Desktop>> connect(const std::string& display = {});
    ~X11Desktop() override;

    // False once the X server has gone away; every query then answers empty.
    bool isConnected() const;

    // ScreenCapture
    bool isCaptureAvailable() override;
    Result<ShareableContent> shareableContent(bool onScreenOnly = true) override;
    WindowContentInfo contentInfo(const ShareableWindow& window) override;
    Result<std::unique_ptr<CaptureStream>> createStream(std::uint32_t windowID,
                                                        const StreamConfiguration& configuration,
                                                        CaptureStream::Handlers handlers) override;
    Result<BgraFramePtr> screenshotWindow(std::uint32_t windowID, int width = 0, int height = 0,
                                          bool showsCursor = false) override;
    Result<BgraFramePtr> screenshotDisplay(std::uint32_t displayID, std::span<const std::uint32_t> windowIDs,
                                           int width = 0, int height = 0) override;

    // WindowServer
    std::vector<Screen> screens() override;
    std::optional<std::int32_t> frontmostProcess() override;
    std::unique_ptr<Subscription> observeActivations(std::function<void(std::int32_t pid)> handler) override;
    std::vector<OnScreenWindow> onScreenWindows() override;
    std::unique_ptr<OverlayWindow> createOverlay(const std::string& title) override;

    // WindowControl
    bool isTrusted() override;
    Result<std::vector<std::uint32_t>> windowsOf(std::int32_t pid) override;
    std::optional<Point> position(std::uint32_t window) override;
    std::optional<Size> size(std::uint32_t window) override;
    std::optional<std::string> title(std::uint32_t window) override;
    std::optional<bool> isFullScreen(std::uint32_t window) override;
    bool isSizeSettable(std::uint32_t window) override;
    FrameExtents frameExtents(std::uint32_t window) override;
    bool setPosition(std::uint32_t window, Point clientTopLeft) override;
    bool setSize(std::uint32_t window, Size clientSize) override;

    struct Impl;
    struct Key {
        explicit Key() = default;
    };
    X11Desktop(Key, std::shared_ptr<Impl> impl);

private:
    std::shared_ptr<Impl> d_;
};

} // namespace lc::x11
