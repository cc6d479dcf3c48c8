#include "platform/x11/FrameGrabber.h"

#include "platform/x11/Grabber.h"

namespace lc::x11 {

struct FrameGrabber::Impl {
    CaptureConnection conn;
    std::unique_ptr<Grabber> grabber;
};

Result<std::unique_ptr<FrameGrabber>> FrameGrabber::open(std::uint32_t window, const std::string& display) {
    auto conn = openCaptureConnection(display);
    if (!conn) return conn.error();
    auto d = std::make_unique<Impl>(Impl{std::move(conn).value(), nullptr});
    d->grabber = std::make_unique<Grabber>(d->conn.c(), window, 6);
    if (!d->grabber->redirect() || !d->grabber->nameWindowPixmap())
        return makeError("The window cannot be captured");
    return std::make_unique<FrameGrabber>(std::move(d));
}

FrameGrabber::FrameGrabber(std::unique_ptr<Impl> impl) : d_(std::move(impl)) {}
FrameGrabber::~FrameGrabber() = default;

Result<BgraFramePtr> FrameGrabber::grab(bool cursor) {
    const auto size = d_->grabber->readableSize();
    if (!size) return size.error();
    auto r = d_->grabber->grab(size->width, size->height);
    if (!r.frame) return makeError(r.failure == Grabber::Failure::busy ? "Every frame is in use" : r.message);
    if (cursor) d_->grabber->drawPointer(*r.frame);
    return BgraFramePtr(std::move(r.frame));
}

} // namespace lc::x11
