#pragma once
// The screen-capture service: the windows and displays that can be captured, a capture stream
// per window, and single screenshots. Everything is on the shared clock (lc::uptime()).
#include "common/Result.h"
#include "platform/Frame.h"
#include "platform/Geometry.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace lc {

struct OwningApplication {
    std::int32_t processID = 0;
    std::string bundleIdentifier; // the application id (X11: GTK/KDE application id, else WM_CLASS class)
    std::string applicationName;  // the .desktop file's Name, else the WM_CLASS class
    friend bool operator==(const OwningApplication&, const OwningApplication&) = default;
};

// One window as the capture service offers it: a plain value, safe to copy between threads.
struct ShareableWindow {
    std::uint32_t windowID = 0;       // the window server's number (X11: the client window's id)
    Rect frame;                       // the client area (no decorations) in root coordinates
    std::optional<std::string> title; // UTF-8; absent when the window sets none
    int windowLayer = 0; // 0: an ordinary application window; anything else: docks, panels, popups…
    bool isOnScreen = false;
    std::optional<OwningApplication> owningApplication;
    friend bool operator==(const ShareableWindow&, const ShareableWindow&) = default;
};

struct ShareableDisplay {
    std::uint32_t displayID = 0;
    Rect frame;
    friend bool operator==(const ShareableDisplay&, const ShareableDisplay&) = default;
};

struct ShareableContent {
    std::vector<ShareableWindow> windows;   // front to back
    std::vector<ShareableDisplay> displays; // primary first
};

// What a single-window content filter reports: the window's content rectangle (its own
// coordinates; zero when it cannot be read) and the points-to-pixels factor.
struct WindowContentInfo {
    Rect contentRect;
    double pointPixelScale = 1;
};

struct StreamConfiguration {
    // No two complete frames closer together than this (seconds).
    double minimumFrameInterval = 1.0 / 30;
    // Frames the stream may have handed out and not yet got back; when all are held by the
    // consumer, new content waits.
    int queueDepth = 6;
    bool showsCursor = true;
};

// One window's frames. Frames have the window's current client size: a resize changes the
// frame size without a restart. Only complete frames (new content) are delivered: one when the
// stream starts (or, for an unmapped window, when it is first mapped), then one per change at
// most every `minimumFrameInterval`. An unchanged window delivers nothing; an unmapped window
// delivers nothing until it is mapped again.
//
// Callbacks run on the stream's own thread, one at a time. `onStopped` comes at most once, when
// capture ends by itself (the window was destroyed, the X server went away); no callback runs
// after `stop()` returns.
class CaptureStream {
public:
    struct Handlers {
        std::function<void(BgraFramePtr)> onFrame;
        std::function<void(const Error&)> onStopped;
    };

    virtual ~CaptureStream() = default;
    // Begins capture; an error when the window is gone or cannot be captured.
    virtual Result<void> start() = 0;
    // Ends capture and waits for the stream's thread (returns at once when called from a callback).
    virtual void stop() = 0;
};

class ScreenCapture {
public:
    virtual ~ScreenCapture() = default;

    // The display can be captured at all (X11: reachable, with Composite, Damage and MIT-SHM).
    virtual bool isCaptureAvailable() = 0;

    // Windows and displays. Desktop windows are never listed; with `onScreenOnly`, only windows
    // that are on screen.
    virtual Result<ShareableContent> shareableContent(bool onScreenOnly = true) = 0;

    virtual WindowContentInfo contentInfo(const ShareableWindow& window) = 0;

    virtual Result<std::unique_ptr<CaptureStream>> createStream(std::uint32_t windowID,
                                                                const StreamConfiguration& configuration,
                                                                CaptureStream::Handlers handlers) = 0;

    // One picture of a window's client area, scaled to width × height (0 × 0: its own size).
    virtual Result<BgraFramePtr> screenshotWindow(std::uint32_t windowID, int width = 0, int height = 0,
                                                  bool showsCursor = false) = 0;

    // One picture of a display showing only the given windows, in their stacking order, over
    // black, scaled to width × height (0 × 0: the display's own size). Windows that are gone or
    // not on the display are left out.
    virtual Result<BgraFramePtr> screenshotDisplay(std::uint32_t displayID,
                                                   std::span<const std::uint32_t> windowIDs, int width = 0,
                                                   int height = 0) = 0;
};

} // namespace lc
