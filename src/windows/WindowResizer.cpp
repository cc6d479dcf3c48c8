#include "windows/WindowResizer.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

namespace lc::WindowResizer {
namespace {

Result unchanged(std::optional<std::string> warning, Size size, double pw, double ph) {
    return Result{std::move(warning), size, aspectOK(size, pw, ph)};
}

// A real as the self-test prints it: shortest form, always with a fraction ("25.0", "0.5").
std::string real(double v) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    std::string s(buf, r.ptr);
    if (s.find_first_of(".en") == std::string::npos) s += ".0";
    return s;
}

} // namespace

void Services::defaultSleep(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

bool aspectOK(Size size, double presetWidth, double presetHeight) {
    if (!(size.height > 0) || !(presetHeight > 0) || !(presetWidth > 0)) return false;
    const double want = presetWidth / presetHeight;
    return std::abs(size.width / size.height - want) / want <= kAspectTolerance;
}

std::optional<std::uint32_t> findWindow(WindowControl& control, std::int32_t pid, const std::string& title,
                                        const Rect& frame) {
    auto listed = control.windowsOf(pid);
    if (!listed) return std::nullopt;
    struct Candidate {
        std::uint32_t window;
        double distance;
        bool readable;
    };
    std::vector<Candidate> candidates;
    for (std::uint32_t w : listed.value()) {
        const auto p = control.position(w);
        const auto s = control.size(w);
        if (p && s)
            candidates.push_back({w,
                                  std::abs(p->x - frame.minX()) + std::abs(p->y - frame.minY()) +
                                      std::abs(s->width - frame.width) + std::abs(s->height - frame.height),
                                  true});
        else
            candidates.push_back({w, std::numeric_limits<double>::max(), false});
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.distance < b.distance; });
    for (const auto& c : candidates)
        if (c.readable && c.distance < kMatchThreshold) return c.window;
    if (!title.empty())
        for (const auto& c : candidates)
            if (control.title(c.window).value_or("") == title) return c.window;
    return std::nullopt;
}

std::optional<Screen> screenFor(const std::vector<Screen>& screens, const Rect& frame) {
    if (screens.empty()) return std::nullopt;
    const Point centre{frame.midX(), frame.midY()};
    for (const auto& s : screens)
        if (s.frame.contains(centre)) return s;
    for (const auto& s : screens)
        if (s.isPrimary) return s;
    return screens.front();
}

Result resize(const Services& services, const ShareableWindow& window, double presetWidth,
              double presetHeight) {
    WindowControl& control = services.control;
    const Rect f = window.frame;
    if (!control.isTrusted()) return unchanged(kWarningNotTrusted, f.size(), presetWidth, presetHeight);
    std::optional<std::uint32_t> element;
    if (window.owningApplication)
        element = findWindow(control, window.owningApplication->processID, window.title.value_or(""), f);
    if (!element) return unchanged(kWarningNoControl, f.size(), presetWidth, presetHeight);
    if (control.isFullScreen(*element).value_or(false))
        return unchanged(kWarningFullScreen, f.size(), presetWidth, presetHeight);
    if (!control.isSizeSettable(*element))
        return unchanged(std::nullopt, control.size(*element).value_or(f.size()), presetWidth, presetHeight);

    const auto screen = screenFor(services.server.screens(), f);
    if (!screen) return unchanged(kWarningNoControl, f.size(), presetWidth, presetHeight);
    Rect area = screen->visibleFrame.insetBy(kScreenMargin, kScreenMargin);
    // Sizes and positions are the client area's; keep the window manager's decorations inside
    // the area too.
    const FrameExtents e = control.frameExtents(*element);
    const Rect inner{area.x + e.left, area.y + e.top, area.width - e.left - e.right,
                     area.height - e.top - e.bottom};
    if (!inner.isEmpty()) area = inner;

    const double scale = screen->backingScaleFactor > 0 ? screen->backingScaleFactor : 1;
    Size target{presetWidth / scale, presetHeight / scale};
    if (target.width > area.width || target.height > area.height) {
        const double k = std::min(area.width / target.width, area.height / target.height);
        target = Size{std::floor(k * target.width), std::floor(k * target.height)};
    }

    // Moving first gives the window room to grow.
    control.setPosition(*element, area.origin());
    control.setSize(*element, target);
    services.sleep(kSettleDelay);
    const Size s1 = control.size(*element).value_or(target);
    if (std::abs(s1.width - target.width) > kSizeTolerance ||
        std::abs(s1.height - target.height) > kSizeTolerance) {
        control.setSize(*element, target);
        services.sleep(kSettleDelay);
    }
    const Size s2 = control.size(*element).value_or(s1);
    control.setPosition(
        *element, Point{std::round(area.midX() - s2.width / 2), std::round(area.midY() - s2.height / 2)});
    return unchanged(std::nullopt, s2, presetWidth, presetHeight);
}

std::optional<bool> probe(const Services& services, const ShareableWindow& window, double presetWidth,
                          double presetHeight) {
    WindowControl& control = services.control;
    if (!control.isTrusted() || !window.owningApplication) return std::nullopt;
    const auto element =
        findWindow(control, window.owningApplication->processID, window.title.value_or(""), window.frame);
    if (!element) return std::nullopt;
    const auto size = control.size(*element);
    const auto position = control.position(*element);
    if (!size || !position) return std::nullopt;
    const Result r = resize(services, window, presetWidth, presetHeight);
    control.setSize(*element, *size);
    services.sleep(kRestoreDelay);
    control.setPosition(*element, *position);
    return r.aspectOK;
}

std::string diagnose(const Services& services, const ShareableWindow& window) {
    if (!window.owningApplication) return "no app";
    WindowControl& control = services.control;
    const auto listed = control.windowsOf(window.owningApplication->processID);
    const Rect& f = window.frame;
    std::string s = "AXtrusted=";
    s += control.isTrusted() ? "true" : "false";
    s += " windowsErr=" + std::to_string(listed ? 0 : (listed.error().code != 0 ? listed.error().code : 1));
    s += " count=" + std::to_string(listed ? long(listed.value().size()) : -1L);
    s += " frame=(" + real(f.x) + ", " + real(f.y) + ", " + real(f.width) + ", " + real(f.height) + ")";
    s += " title=" + (window.title && !window.title->empty() ? *window.title : std::string("-"));
    return s;
}

} // namespace lc::WindowResizer
