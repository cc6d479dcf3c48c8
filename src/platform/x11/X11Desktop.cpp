#include "platform/x11/X11Desktop.h"

#include "platform/x11/ActivationWatcher.h"
#include "platform/x11/DisplayConnection.h"
#include "platform/x11/Overlay.h"
#include "platform/x11/Screenshots.h"
#include "platform/x11/WindowController.h"
#include "platform/x11/WindowList.h"
#include "platform/x11/X11CaptureStream.h"

namespace lc::x11 {

struct X11Desktop::Impl {
    explicit Impl(std::shared_ptr<DisplayConnection> d)
        : display(std::move(d)), windows(display), control(display), screenshots(display->name(), windows) {}

    std::shared_ptr<DisplayConnection> display; // shared with the overlays
    WindowList windows;
    WindowController control;
    Screenshots screenshots;
};

Result<std::shared_ptr<X11Desktop>> X11Desktop::connect(const std::string& display) {
    auto d = DisplayConnection::open(display);
    if (!d) return d.error();
    return std::make_shared<X11Desktop>(Key{}, std::make_shared<Impl>(std::move(d).value()));
}

X11Desktop::X11Desktop(Key, std::shared_ptr<Impl> impl) : d_(std::move(impl)) {}
X11Desktop::~X11Desktop() = default;

bool X11Desktop::isConnected() const {
    return d_->display->ok();
}

bool X11Desktop::isCaptureAvailable() {
    return d_->display->ok() && d_->display->extensions().canCapture();
}

Result<ShareableContent> X11Desktop::shareableContent(bool onScreenOnly) {
    return d_->windows.shareableContent(onScreenOnly);
}

WindowContentInfo X11Desktop::contentInfo(const ShareableWindow& window) {
    return d_->windows.contentInfo(window);
}

Result<std::unique_ptr<CaptureStream>> X11Desktop::createStream(std::uint32_t windowID,
                                                                const StreamConfiguration& configuration,
                                                                CaptureStream::Handlers handlers) {
    if (!d_->display->ok()) return makeError("The connection to the X server was lost");
    return makeCaptureStream(d_->display->name(), windowID, configuration, std::move(handlers));
}

Result<BgraFramePtr> X11Desktop::screenshotWindow(std::uint32_t windowID, int width, int height,
                                                  bool showsCursor) {
    return d_->screenshots.window(windowID, width, height, showsCursor);
}

Result<BgraFramePtr> X11Desktop::screenshotDisplay(std::uint32_t displayID,
                                                   std::span<const std::uint32_t> windowIDs, int width,
                                                   int height) {
    return d_->screenshots.display(displayID, windowIDs, width, height);
}

std::vector<Screen> X11Desktop::screens() {
    return d_->windows.screens();
}

std::optional<std::int32_t> X11Desktop::frontmostProcess() {
    return d_->windows.frontmostProcess();
}

std::unique_ptr<Subscription> X11Desktop::observeActivations(std::function<void(std::int32_t pid)> handler) {
    return std::make_unique<ActivationWatcher>(d_->display->name(), std::move(handler), frontmostProcess());
}

std::vector<OnScreenWindow> X11Desktop::onScreenWindows() {
    return d_->windows.onScreenWindows();
}

std::unique_ptr<OverlayWindow> X11Desktop::createOverlay(const std::string& title) {
    if (!d_->display->ok()) return nullptr;
    return std::make_unique<Overlay>(d_->display, title);
}

bool X11Desktop::isTrusted() {
    return d_->control.isTrusted();
}

Result<std::vector<std::uint32_t>> X11Desktop::windowsOf(std::int32_t pid) {
    return d_->control.windowsOf(pid);
}

std::optional<Point> X11Desktop::position(std::uint32_t window) {
    return d_->control.position(window);
}

std::optional<Size> X11Desktop::size(std::uint32_t window) {
    return d_->control.size(window);
}

std::optional<std::string> X11Desktop::title(std::uint32_t window) {
    return d_->control.title(window);
}

std::optional<bool> X11Desktop::isFullScreen(std::uint32_t window) {
    return d_->control.isFullScreen(window);
}

bool X11Desktop::isSizeSettable(std::uint32_t window) {
    return d_->control.isSizeSettable(window);
}

FrameExtents X11Desktop::frameExtents(std::uint32_t window) {
    return d_->control.frameExtents(window);
}

bool X11Desktop::setPosition(std::uint32_t window, Point clientTopLeft) {
    return d_->control.setPosition(window, clientTopLeft);
}

bool X11Desktop::setSize(std::uint32_t window, Size clientSize) {
    return d_->control.setSize(window, clientSize);
}

} // namespace lc::x11
