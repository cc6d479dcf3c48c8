#include "windows/OutlineManager.h"

#include <limits>
#include <set>

namespace lc {

double OutlineView::lineWidth(Style style) {
    switch (style) {
    case Style::focused:
        return 4;
    case Style::recording:
        return 3;
    case Style::idle:
        return 2;
    }
    return 2;
}

Rgba OutlineView::colour(Style style) {
    switch (style) {
    case Style::focused:
        return {1.0, 0.12, 0.12, 1.0};
    case Style::recording:
        return {1.0, 0.2, 0.2, 0.6};
    case Style::idle:
        return {0.6, 0.6, 0.6, 0.55};
    }
    return {};
}

RingStyle OutlineView::ring(Style style) {
    const double w = lineWidth(style);
    return RingStyle{w, kInnerEdge - w / 2, kCornerRadius, colour(style)};
}

OutlineManager::OutlineManager(std::shared_ptr<WindowServer> server, QObject* parent)
    : QObject(parent), server_(std::move(server)) {
    timer_.setInterval(kRefreshMs);
    connect(&timer_, &QTimer::timeout, this, &OutlineManager::tick);
}

OutlineManager::~OutlineManager() {
    stop();
}

void OutlineManager::start(Provider provider) {
    provider_ = std::move(provider);
    if (timer_.isActive()) return;
    timer_.start();
    tick();
}

void OutlineManager::stop() {
    timer_.stop();
    provider_ = nullptr;
    for (auto& [id, win] : wins_)
        win->hide();
    wins_.clear();
}

std::optional<std::uint32_t> OutlineManager::overlayFor(std::uint32_t target) const {
    const auto it = wins_.find(target);
    if (it == wins_.end()) return std::nullopt;
    return it->second->windowID();
}

Rect OutlineManager::outlineFrame(const Rect& t) {
    return Rect{t.x - kMargin, t.y - kMargin, t.width + 2 * kMargin, t.height + 2 * kMargin};
}

void OutlineManager::tick() {
    if (!provider_) return;
    const std::vector<Target> targets = provider_();
    if (!server_) return;

    // One read of the window list for all targets: stacking index (0 = frontmost) and frame.
    std::map<std::uint32_t, std::size_t> index;
    std::map<std::uint32_t, Rect> frames;
    const auto list = server_->onScreenWindows();
    for (std::size_t i = 0; i < list.size(); ++i) {
        index.emplace(list[i].windowID, i);
        frames.emplace(list[i].windowID, list[i].frame);
    }

    std::set<std::uint32_t> wanted;
    for (const auto& t : targets)
        wanted.insert(t.id);
    for (auto it = wins_.begin(); it != wins_.end();) {
        if (wanted.count(it->first)) {
            ++it;
        } else {
            it->second->hide();
            it = wins_.erase(it);
        }
    }

    for (const auto& t : targets) {
        const auto f = frames.find(t.id);
        auto w = wins_.find(t.id);
        if (f == frames.end() || !(f->second.width > 1)) {
            if (w != wins_.end()) w->second->hide();
            continue;
        }
        if (w == wins_.end()) {
            auto overlay = server_->createOverlay(kTitle);
            if (!overlay) continue;
            w = wins_.emplace(t.id, std::move(overlay)).first;
        }
        OverlayWindow& win = *w->second;
        win.setFrame(outlineFrame(f->second)); // only acts on a change
        win.setRing(OutlineView::ring(t.style));
        constexpr std::size_t none = std::numeric_limits<std::size_t>::max();
        const auto oi = index.find(win.windowID());
        const std::size_t o = oi == index.end() ? none : oi->second;
        const auto ti = index.find(t.id);
        const bool reorder = !win.isVisible() || (ti != index.end() ? ti->second < o : o > 0);
        if (reorder) {
            win.orderAbove(t.id);
            win.show();
        }
    }
}

} // namespace lc
