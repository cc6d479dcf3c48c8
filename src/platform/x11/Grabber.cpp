#include "platform/x11/Grabber.h"

#include "common/Clock.h"

#include <xcb/composite.h>
#include <xcb/xfixes.h>

#include <atomic>
#include <cstring>
#include <string>
#include <sys/ipc.h>
#include <sys/shm.h>

namespace lc::x11 {
namespace {

std::atomic<std::uint64_t> nextSerial{1};

// A frame that hands its shared memory back to the pool when its last holder lets go.
struct PooledFrame {
    BgraFrame frame;
    std::unique_ptr<FramePool::Slot> slot;
    std::weak_ptr<FramePool> pool;
    PooledFrame() = default;
    PooledFrame(const PooledFrame&) = delete;
    PooledFrame& operator=(const PooledFrame&) = delete;
    ~PooledFrame() {
        if (auto p = pool.lock()) p->release(std::move(slot));
    }
};

} // namespace

std::shared_ptr<ShmMemory> ShmMemory::create(std::size_t size) {
    const int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (id < 0) return nullptr;
    void* addr = shmat(id, nullptr, 0);
    if (addr == reinterpret_cast<void*>(-1)) {
        shmctl(id, IPC_RMID, nullptr);
        return nullptr;
    }
    return std::make_shared<ShmMemory>(id, addr, size);
}

ShmMemory::~ShmMemory() {
    shmdt(addr_);
    shmctl(id_, IPC_RMID, nullptr); // harmless when already marked
}

void ShmMemory::removeWhenDetached() {
    shmctl(id_, IPC_RMID, nullptr);
}

std::unique_ptr<FramePool::Slot> FramePool::acquire() {
    std::lock_guard lock(mutex_);
    if (closed_ || outstanding_ >= depth_) return nullptr;
    ++outstanding_;
    if (!free_.empty()) {
        auto s = std::move(free_.back());
        free_.pop_back();
        return s;
    }
    ++created_;
    return std::make_unique<Slot>();
}

void FramePool::release(std::unique_ptr<Slot> slot) {
    std::lock_guard lock(mutex_);
    --outstanding_;
    if (!closed_ && slot) free_.push_back(std::move(slot));
}

std::vector<std::unique_ptr<FramePool::Slot>> FramePool::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    return std::move(free_);
}

namespace {

// One pass over every row; `convert` maps one pixel (simple enough to be vectorised).
template <class Convert>
void eachPixel(std::uint8_t* data, int stride, int width, int height, Convert convert) {
    for (int y = 0; y < height; ++y) {
        auto* p = reinterpret_cast<std::uint32_t*>(data + std::ptrdiff_t(y) * stride);
        for (int x = 0; x < width; ++x)
            p[x] = convert(p[x]);
    }
}

// The masks of the window's visual.
std::optional<xcb_visualtype_t> visualOf(xcb_connection_t* c, xcb_window_t window) {
    const auto a = requestAttributes(c, window).take();
    return a ? findVisual(c, a->visual) : std::nullopt;
}

std::optional<PixelLayout> layoutOf(int depth, const std::optional<xcb_visualtype_t>& v) {
    if (depth == 24 || depth == 32) {
        // Without a visual to say otherwise, the layout every X server uses at these depths.
        if (!v || (v->red_mask == 0xff0000 && v->green_mask == 0xff00 && v->blue_mask == 0xff))
            return PixelLayout::bgrx8;
        return std::nullopt;
    }
    if (depth == 30 && v && v->green_mask == 0xffc00) {
        if (v->red_mask == 0x3ff00000 && v->blue_mask == 0x3ff) return PixelLayout::x2r10g10b10;
        if (v->red_mask == 0x3ff && v->blue_mask == 0x3ff00000) return PixelLayout::x2b10g10r10;
    }
    return std::nullopt;
}

} // namespace

void forceOpaque(std::uint8_t* data, int stride, int width, int height) {
    eachPixel(data, stride, width, height, [](std::uint32_t p) { return p | 0xff000000u; });
}

void toOpaqueBgra(PixelLayout layout, std::uint8_t* data, int stride, int width, int height) {
    switch (layout) {
    case PixelLayout::bgrx8:
        forceOpaque(data, stride, width, height);
        break;
    case PixelLayout::x2r10g10b10:
        eachPixel(data, stride, width, height, [](std::uint32_t p) {
            return 0xff000000u | ((p >> 6) & 0xff0000u) | ((p >> 4) & 0xff00u) | ((p >> 2) & 0xffu);
        });
        break;
    case PixelLayout::x2b10g10r10:
        eachPixel(data, stride, width, height, [](std::uint32_t p) {
            return 0xff000000u | ((p << 14) & 0xff0000u) | ((p >> 4) & 0xff00u) | ((p >> 22) & 0xffu);
        });
        break;
    }
}

Result<CaptureConnection> openCaptureConnection(const std::string& display) {
    CaptureConnection cc{Connection(display), {}};
    if (!cc.conn.ok()) return makeError("Cannot connect to the X display");
    cc.ext = initExtensions(cc.c());
    if (!cc.ext.canCapture())
        return makeError("The X server lacks the Composite, Damage, XFixes or MIT-SHM extension");
    return cc;
}

Grabber::Grabber(xcb_connection_t* c, xcb_window_t window, int poolDepth)
    : c_(c), window_(window), pool_(std::make_shared<FramePool>(poolDepth)) {}

Grabber::~Grabber() {
    releasePixmap();
    for (auto& s : pool_->close())
        if (s->segment) xcb_shm_detach(c_, s->segment);
    xcb_flush(c_);
}

bool Grabber::redirect() {
    return check(c_, xcb_composite_redirect_window_checked(c_, window_, XCB_COMPOSITE_REDIRECT_AUTOMATIC))
        .ok();
}

bool Grabber::nameWindowPixmap() {
    releasePixmap();
    const xcb_pixmap_t p = xcb_generate_id(c_);
    if (!check(c_, xcb_composite_name_window_pixmap_checked(c_, window_, p))) return false;
    pixmap_ = p;
    return true;
}

Result<Grabber::PixelSize> Grabber::readableSize() {
    const auto g = requestGeometry(c_, window_).take();
    if (!g) return makeError("The window is no longer available");
    const auto layout = layoutOf(g->depth, visualOf(c_, window_));
    if (!layout)
        return makeError("The window's pixel format cannot be captured (depth " + std::to_string(g->depth) +
                         ")");
    layout_ = *layout;
    return PixelSize{g->width, g->height};
}

std::optional<Grabber::Pointer> Grabber::pointer(int width, int height) {
    const auto p = requestPointer(c_, window_).take();
    if (!p) return std::nullopt;
    return Pointer{p->same_screen && p->win_x >= 0 && p->win_y >= 0 && p->win_x < width && p->win_y < height,
                   p->win_x, p->win_y};
}

void Grabber::drawPointer(BgraFrame& frame) {
    if (const auto p = pointer(frame.width, frame.height); p && p->inside) drawCursor(frame, p->x, p->y);
}

void Grabber::releasePixmap() {
    if (pixmap_ != XCB_NONE) xcb_free_pixmap(c_, pixmap_);
    pixmap_ = XCB_NONE;
}

bool Grabber::attach(FramePool::Slot& slot, std::size_t size) {
    if (slot.memory && slot.memory->size() >= size && slot.segment) return true;
    if (slot.segment) xcb_shm_detach(c_, slot.segment);
    slot.segment = 0;
    // Room to grow a little, so that a window resized by a few pixels keeps its segments.
    slot.memory = ShmMemory::create(size + size / 8);
    if (!slot.memory) return false;
    const xcb_shm_seg_t seg = xcb_generate_id(c_);
    const auto attached = check(c_, xcb_shm_attach_checked(c_, seg, std::uint32_t(slot.memory->id()), 0));
    slot.memory->removeWhenDetached();
    if (!attached) {
        slot.memory.reset();
        return false;
    }
    slot.segment = seg;
    return true;
}

namespace {

Grabber::Grab failed(Grabber::Failure failure, std::string message = {}) {
    return {nullptr, failure, std::move(message)};
}

// A frame over the slot's memory that hands the slot back to `pool` when its last holder lets go.
std::shared_ptr<BgraFrame> pooledFrame(std::unique_ptr<FramePool::Slot> slot, std::weak_ptr<FramePool> pool,
                                       int width, int height, double stamp) {
    auto holder = std::make_shared<PooledFrame>();
    holder->frame.width = width;
    holder->frame.height = height;
    holder->frame.stride = width * 4;
    holder->frame.data = slot->memory->data();
    holder->frame.serial = nextSerial.fetch_add(1, std::memory_order_relaxed);
    holder->frame.hostTime = stamp;
    holder->slot = std::move(slot);
    holder->pool = std::move(pool);
    return {holder, &holder->frame};
}

} // namespace

Grabber::Grab Grabber::grab(int width, int height) {
    if (width <= 0 || height <= 0) return failed(Failure::gone, "The window has no area");
    auto slot = pool_->acquire();
    if (!slot) return failed(Failure::busy);
    if (!attach(*slot, std::size_t(width) * std::size_t(height) * 4)) {
        pool_->release(std::move(slot));
        return failed(Failure::error, "Cannot share memory with the X server");
    }
    const xcb_drawable_t source = pixmap_ != XCB_NONE ? pixmap_ : window_;
    const double stamp = uptime(); // when the pixels are asked for, not when they have arrived
    const auto reply =
        pending(c_,
                xcb_shm_get_image(c_, source, 0, 0, std::uint16_t(width), std::uint16_t(height), ~0u,
                                  XCB_IMAGE_FORMAT_Z_PIXMAP, slot->segment, 0),
                xcb_shm_get_image_reply)
            .take();
    if (!reply) {
        pool_->release(std::move(slot));
        if (xcb_connection_has_error(c_))
            return failed(Failure::error, "The connection to the X server was lost");
        return failed(Failure::gone, "The window's pixels cannot be read");
    }
    auto frame = pooledFrame(std::move(slot), pool_, width, height, stamp);
    toOpaqueBgra(layout_, frame->data, frame->stride, width, height);
    ++serial_;
    return {std::move(frame), Failure::none, {}};
}

void Grabber::drawCursor(BgraFrame& frame, int x, int y) {
    const auto r = pending(c_, xcb_xfixes_get_cursor_image(c_), xcb_xfixes_get_cursor_image_reply).take();
    if (!r) return;
    const std::uint32_t* px = xcb_xfixes_get_cursor_image_cursor_image(r.get());
    const int w = r->width, h = r->height;
    const int left = x - r->xhot, top = y - r->yhot;
    for (int cy = std::max(0, -top); cy < h && top + cy < frame.height; ++cy) {
        std::uint8_t* row = frame.row(top + cy);
        for (int cx = std::max(0, -left); cx < w && left + cx < frame.width; ++cx) {
            const std::uint32_t s = px[cy * w + cx]; // premultiplied ARGB
            const unsigned a = s >> 24;
            if (a == 0) continue;
            std::uint8_t* d = row + (left + cx) * 4;
            const unsigned inv = 255 - a;
            d[0] = std::uint8_t(std::min(255u, (s & 0xff) + (d[0] * inv + 127) / 255));
            d[1] = std::uint8_t(std::min(255u, ((s >> 8) & 0xff) + (d[1] * inv + 127) / 255));
            d[2] = std::uint8_t(std::min(255u, ((s >> 16) & 0xff) + (d[2] * inv + 127) / 255));
            d[3] = 255;
        }
    }
}

} // namespace lc::x11
