#pragma once
// Reads a window's own pixels (its Composite pixmap) through MIT-SHM straight into a small pool
// of shared-memory frames, which go back to the pool when their last holder lets go.
#include "common/Result.h"
#include "platform/Frame.h"
#include "platform/x11/Xcb.h"

#include <xcb/shm.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace lc::x11 {

// A SysV shared-memory segment mapped into this process; unmapped when the last frame using it
// is gone.
class ShmMemory {
public:
    static std::shared_ptr<ShmMemory> create(std::size_t size);
    ShmMemory(int id, void* addr, std::size_t size) : id_(id), addr_(addr), size_(size) {}
    ShmMemory(const ShmMemory&) = delete;
    ShmMemory& operator=(const ShmMemory&) = delete;
    ~ShmMemory();
    int id() const { return id_; }
    std::uint8_t* data() const { return static_cast<std::uint8_t*>(addr_); }
    std::size_t size() const { return size_; }
    // Marks the segment for removal once everyone has detached (call after the server attached it).
    void removeWhenDetached();

private:
    int id_;
    void* addr_;
    std::size_t size_;
};

class FramePool : public std::enable_shared_from_this<FramePool> {
public:
    struct Slot {
        std::shared_ptr<ShmMemory> memory;
        xcb_shm_seg_t segment = 0; // the server's name for `memory` on the grabbing connection
    };

    explicit FramePool(int depth) : depth_(depth) {}
    // A slot nobody holds, or nullptr when `depth` slots are out. Never blocks.
    std::unique_ptr<Slot> acquire();
    void release(std::unique_ptr<Slot> slot);
    // Slots handed back after this are dropped; returns the free ones for detaching.
    std::vector<std::unique_ptr<Slot>> close();

private:
    std::mutex mutex_;
    std::vector<std::unique_ptr<Slot>> free_;
    int outstanding_ = 0;
    int created_ = 0;
    const int depth_;
    bool closed_ = false;
};

// A connection of its own for reading pixels, with the extensions that needs; an error when
// the display cannot be reached or lacks one of them.
struct CaptureConnection {
    Connection conn;
    Extensions ext;
    xcb_connection_t* c() const { return conn.get(); }
};
Result<CaptureConnection> openCaptureConnection(const std::string& display);

// How a window's pixels lie in the 32-bit words the server hands over.
enum class PixelLayout {
    bgrx8,       // depth 24 or 32: 8 bits a channel, red highest
    x2r10g10b10, // depth 30: 10 bits a channel, red highest
    x2b10g10r10, // depth 30: 10 bits a channel, blue highest
};

// Reads one window's pixels on a connection owned by the caller; single-threaded.
class Grabber {
public:
    Grabber(xcb_connection_t* c, xcb_window_t window, int poolDepth);
    Grabber(const Grabber&) = delete;
    Grabber& operator=(const Grabber&) = delete;
    ~Grabber();

    // Redirects the window (automatic Composite redirection) once; false without Composite.
    bool redirect();
    // Names the window's current pixmap (again after a resize or a map); false when the window
    // is not viewable or gone.
    bool nameWindowPixmap();
    void releasePixmap();
    bool hasPixmap() const { return pixmap_ != XCB_NONE; }

    enum class Failure { none, busy, gone, error };
    struct Grab {
        std::shared_ptr<BgraFrame> frame;
        Failure failure = Failure::none;
        std::string message;
    };
    // Reads the pixmap (or, without one, the window itself) of width × height pixels.
    Grab grab(int width, int height);

    struct PixelSize {
        int width = 0, height = 0;
    };
    // The window's current size when its pixels can be read (8 or 10 bits a channel, learnt for
    // grab() here); why not otherwise.
    Result<PixelSize> readableSize();
    PixelLayout layout() const { return layout_; }

    struct Pointer {
        bool inside = false; // over the window of the size asked about, on its screen
        int x = 0, y = 0;    // window-relative
    };
    // Where the pointer is relative to the window as if it were width × height; nullopt when the
    // server does not say.
    std::optional<Pointer> pointer(int width, int height);

    // Draws the current cursor image with its hotspot at (x, y) in frame coordinates.
    void drawCursor(BgraFrame& frame, int x, int y);
    // Draws the cursor into `frame`, a picture of the whole window, when the pointer is over it.
    void drawPointer(BgraFrame& frame);

    std::uint64_t framesGrabbed() const { return serial_; }

private:
    bool attach(FramePool::Slot& slot, std::size_t size);

    xcb_connection_t* c_;
    xcb_window_t window_;
    xcb_pixmap_t pixmap_ = XCB_NONE;
    std::shared_ptr<FramePool> pool_;
    std::uint64_t serial_ = 0;
    PixelLayout layout_ = PixelLayout::bgrx8;
};

// Sets every pixel's alpha to 255 (depth-24 pixels carry 0 there).
void forceOpaque(std::uint8_t* data, int stride, int width, int height);

// Turns pixels of `layout` into opaque 8-bit BGRA in place (the top 8 of each channel's bits).
void toOpaqueBgra(PixelLayout layout, std::uint8_t* data, int stride, int width, int height);

} // namespace lc::x11
