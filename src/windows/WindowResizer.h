#pragma once
// Brings a window to an output preset's shape and size and centres it on its screen, through the
// window-control service. Every operation blocks while the window settles (up to about half a
// second): call them off the main thread.
#include "platform/Geometry.h"
#include "platform/ScreenCapture.h"
#include "platform/WindowControl.h"
#include "platform/WindowServer.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace lc::WindowResizer {

struct Result {
    std::optional<std::string> warning; // why the window was not resized, shown as is
    Size pointSize;                     // the window's size after the operation
    bool aspectOK = false;              // within 1.5 % of the preset's width-to-height ratio
};

inline constexpr double kAspectTolerance = 0.015;
inline constexpr double kMatchThreshold = 12;
inline constexpr double kScreenMargin = 12;
inline constexpr double kSizeTolerance = 2;
inline constexpr double kSettleDelay = 0.2;
inline constexpr double kRestoreDelay = 0.1;

inline constexpr const char* kWarningNotTrusted = "Window control off: not resized";
inline constexpr const char* kWarningNoControl = "Can't control this window: not resized";
inline constexpr const char* kWarningFullScreen = "Full screen: not resized";

// The services the operations work through; `sleep` waits that many seconds.
struct Services {
    WindowControl& control;
    WindowServer& server;
    std::function<void(double seconds)> sleep = defaultSleep;

    static void defaultSleep(double seconds);
};

// The aspect test: h > 0 and |w / h − W / H| / (W / H) ≤ 0.015.
bool aspectOK(Size size, double presetWidth, double presetHeight);

// The process's window that matches the capture service's window: the nearest by position and
// size when within 12 points in sum, else the first with exactly this (non-empty) title.
std::optional<std::uint32_t> findWindow(WindowControl& control, std::int32_t pid, const std::string& title,
                                        const Rect& frame);

// The screen that holds the frame's centre, else the primary (first) one; nothing without screens.
std::optional<Screen> screenFor(const std::vector<Screen>& screens, const Rect& frame);

Result resize(const Services& services, const ShareableWindow& window, double presetWidth,
              double presetHeight);

// Whether the preset's shape can be reached; the window is put back afterwards. Nothing when the
// window cannot be controlled at all.
std::optional<bool> probe(const Services& services, const ShareableWindow& window, double presetWidth,
                          double presetHeight);

// One line for the self-test: trust, the application's windows, the frame and the title.
std::string diagnose(const Services& services, const ShareableWindow& window);

} // namespace lc::WindowResizer
