// OutlineManager's refresh rules on a fake window server, the ring geometry and the styles.
#include "platform/x11/RingMask.h"
#include "windows/OutlineManager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace {

using namespace lc;
using Style = OutlineView::Style;

struct OverlayLog {
    int created = 0, closed = 0, framesSet = 0, ringsSet = 0, reorders = 0;
};

class FakeOverlay;
using OverlayMap = std::map<std::uint32_t, FakeOverlay*>;

class FakeOverlay : public OverlayWindow {
public:
    FakeOverlay(std::uint32_t id, OverlayLog& log, OverlayMap& live) : id_(id), log_(log), live_(live) {
        live_[id] = this;
    }
    ~FakeOverlay() override {
        ++log_.closed;
        live_.erase(id_);
    }
    std::uint32_t windowID() const override { return id_; }
    Rect frame() const override { return frame_; }
    void setFrame(const Rect& f) override {
        if (f == frame_) return;
        frame_ = f;
        ++log_.framesSet;
    }
    void setRing(const RingStyle& r) override {
        if (r == ring) return;
        ring = r;
        ++log_.ringsSet;
    }
    bool isVisible() const override { return visible_; }
    void show() override { visible_ = true; }
    void hide() override { visible_ = false; }
    void orderAbove(std::uint32_t target) override {
        ++log_.reorders;
        above = target;
    }
    RingStyle ring;
    std::uint32_t above = 0;

private:
    std::uint32_t id_;
    OverlayLog& log_;
    OverlayMap& live_;
    Rect frame_{0, 0, 100, 100};
    bool visible_ = false;
};

// The stacking list is what the test sets; overlays appear where they were ordered.
class FakeServer : public WindowServer {
public:
    std::vector<OnScreenWindow> windows; // front to back, without overlays
    OverlayMap overlays;                 // the overlays not yet closed
    OverlayLog log;
    std::uint32_t nextId = 1000;

    std::vector<Screen> screens() override { return {}; }
    std::optional<std::int32_t> frontmostProcess() override { return std::nullopt; }
    std::unique_ptr<Subscription> observeActivations(std::function<void(std::int32_t)>) override {
        return nullptr;
    }
    std::vector<OnScreenWindow> onScreenWindows() override {
        std::vector<OnScreenWindow> out;
        for (const auto& w : windows) {
            for (const auto& [id, o] : overlays)
                if (o->isVisible() && o->above == w.windowID) out.push_back({id, o->frame()});
            out.push_back(w);
        }
        return out;
    }
    std::unique_ptr<OverlayWindow> createOverlay(const std::string&) override {
        ++log.created;
        return std::make_unique<FakeOverlay>(nextId++, log, overlays);
    }
};

TEST(OutlineView, StylesDrawTheInnerEdgeHalfAPointOutsideTheWindow) {
    EXPECT_EQ(OutlineView::lineWidth(Style::focused), 4);
    EXPECT_EQ(OutlineView::lineWidth(Style::recording), 3);
    EXPECT_EQ(OutlineView::lineWidth(Style::idle), 2);
    EXPECT_EQ(OutlineView::colour(Style::focused), (Rgba{1.0, 0.12, 0.12, 1.0}));
    EXPECT_EQ(OutlineView::colour(Style::recording), (Rgba{1.0, 0.2, 0.2, 0.6}));
    EXPECT_EQ(OutlineView::colour(Style::idle), (Rgba{0.6, 0.6, 0.6, 0.55}));
    for (Style s : {Style::focused, Style::recording, Style::idle}) {
        const RingStyle r = OutlineView::ring(s);
        EXPECT_DOUBLE_EQ(r.inset + r.lineWidth / 2, 3.5);
        EXPECT_EQ(r.cornerRadius, 24);
    }
    EXPECT_EQ(OutlineManager::outlineFrame({100, 50, 800, 600}), (Rect{96, 46, 808, 608}));
}

TEST(RingMask, AStrokedRoundedRectangleWithAHole) {
    const int w = 808, h = 608;
    const RingStyle focused = OutlineView::ring(Style::focused);
    const auto rects = x11::ringRectangles(w, h, focused.inset, focused.cornerRadius, focused.lineWidth);
    auto covered = [&](int x, int y) {
        return std::any_of(rects.begin(), rects.end(), [&](const x11::IntRect& r) {
            return x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height;
        });
    };
    EXPECT_LT(rects.size(), 300u) << "straight edges are merged into bands";
    // Left edge, middle row: the stroke's inner edge is 3.5 points in.
    EXPECT_TRUE(covered(0, h / 2));
    EXPECT_TRUE(covered(2, h / 2));
    EXPECT_FALSE(covered(3, h / 2));
    EXPECT_TRUE(covered(w - 1, h / 2));
    EXPECT_FALSE(covered(w - 4, h / 2));
    EXPECT_TRUE(covered(w / 2, 0));
    EXPECT_FALSE(covered(w / 2, h / 2)) << "nothing is filled";
    EXPECT_FALSE(covered(0, 0)) << "the corners are rounded";
    EXPECT_FALSE(covered(w - 1, h - 1));
    EXPECT_TRUE(covered(8, 8)) << "the corner arc is drawn";
    EXPECT_FALSE(covered(12, 12));
    // Symmetric, banded and not overlapping.
    std::size_t area = 0;
    for (const auto& r : rects) {
        EXPECT_GT(r.width, 0);
        EXPECT_GT(r.height, 0);
        area += std::size_t(r.width) * std::size_t(r.height);
    }
    std::size_t counted = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const bool c = covered(x, y);
            counted += c;
            if (c != covered(w - 1 - x, h - 1 - y)) ADD_FAILURE() << "asymmetric at " << x << "," << y;
        }
    EXPECT_EQ(area, counted) << "rectangles overlap";
    for (std::size_t i = 1; i < rects.size(); ++i)
        EXPECT_TRUE(rects[i].y > rects[i - 1].y ||
                    (rects[i].y == rects[i - 1].y && rects[i].x > rects[i - 1].x));

    EXPECT_TRUE(x11::ringRectangles(0, 10, 1, 2, 3).empty());
    EXPECT_TRUE(x11::ringRectangles(10, 10, 1, 2, 0).empty());
    EXPECT_FALSE(x11::ringRectangles(3, 3, 1.5, 24, 4).empty()) << "tiny windows get at least something";
}

class Manager : public ::testing::Test {
protected:
    std::shared_ptr<FakeServer> server = std::make_shared<FakeServer>();
    std::vector<OutlineManager::Target> targets;
    OutlineManager manager{server};
    OutlineManager::Provider provider() {
        return [this] { return targets; };
    }
};

TEST_F(Manager, CreatesOnDemandFollowsAndRestacksOnlyWhenNeeded) {
    server->windows = {{7, {100, 50, 800, 600}}, {8, {0, 0, 300, 300}}};
    targets = {{7, Style::recording}};
    manager.start(provider());
    EXPECT_TRUE(manager.isRunning());
    ASSERT_TRUE(manager.overlayFor(7)); // refreshed at once
    FakeOverlay* o = server->overlays[*manager.overlayFor(7)];
    EXPECT_EQ(o->frame(), (Rect{96, 46, 808, 608}));
    EXPECT_TRUE(o->isVisible());
    EXPECT_EQ(o->above, 7u);
    EXPECT_EQ(o->ring, OutlineView::ring(Style::recording));
    const OverlayLog first = server->log;
    EXPECT_EQ(first.created, 1);
    EXPECT_EQ(first.reorders, 1);

    manager.tick(); // nothing changed: nothing is touched
    EXPECT_EQ(server->log.framesSet, first.framesSet);
    EXPECT_EQ(server->log.ringsSet, first.ringsSet);
    EXPECT_EQ(server->log.reorders, first.reorders);

    // Moved, restyled, and raised above its outline (the target is now in front of it).
    server->windows = {{7, {300, 60, 800, 600}}, {8, {0, 0, 300, 300}}};
    o->above = 8;
    targets = {{7, Style::focused}};
    manager.tick();
    EXPECT_EQ(o->frame(), (Rect{296, 56, 808, 608}));
    EXPECT_EQ(o->ring, OutlineView::ring(Style::focused));
    EXPECT_EQ(server->log.reorders, first.reorders + 1);
    EXPECT_EQ(o->above, 7u);

    // Covered by another window: the outline stays where it is, behind it.
    server->windows = {{8, {0, 0, 300, 300}}, {7, {300, 60, 800, 600}}};
    manager.tick();
    EXPECT_EQ(server->log.reorders, first.reorders + 1);
}

TEST_F(Manager, HidesOffScreenTargetsClosesDroppedOnesAndStops) {
    server->windows = {{7, {100, 50, 800, 600}}, {9, {0, 0, 1, 400}}};
    targets = {{7, Style::idle}, {9, Style::idle}, {42, Style::idle}};
    manager.start(provider());
    EXPECT_TRUE(manager.overlayFor(7));
    EXPECT_FALSE(manager.overlayFor(9)) << "a window 1 point wide gets no outline";
    EXPECT_FALSE(manager.overlayFor(42)) << "a window that is not on screen gets no outline";

    server->windows = {};
    manager.tick();
    ASSERT_TRUE(manager.overlayFor(7)) << "kept while its window is off screen";
    EXPECT_FALSE(server->overlays[*manager.overlayFor(7)]->isVisible());

    server->windows = {{7, {100, 50, 800, 600}}};
    manager.tick();
    EXPECT_TRUE(server->overlays[*manager.overlayFor(7)]->isVisible());

    targets = {};
    manager.tick();
    EXPECT_EQ(manager.overlayCount(), 0u);
    EXPECT_EQ(server->log.closed, 1);

    // start while running swaps the provider; stop closes everything.
    targets = {{7, Style::idle}};
    manager.start([] { return std::vector<OutlineManager::Target>{}; });
    manager.tick();
    EXPECT_EQ(manager.overlayCount(), 0u);
    manager.start(provider());
    manager.tick();
    EXPECT_EQ(manager.overlayCount(), 1u);
    manager.stop();
    EXPECT_FALSE(manager.isRunning());
    EXPECT_EQ(manager.overlayCount(), 0u);
    EXPECT_EQ(server->log.closed, server->log.created);
    manager.tick(); // no provider: nothing happens
    EXPECT_EQ(manager.overlayCount(), 0u);
}

TEST(ManagerWithoutDisplay, RunsAndShowsNothing) {
    OutlineManager m(nullptr);
    m.start([] { return std::vector<OutlineManager::Target>{{1, Style::idle}}; });
    EXPECT_EQ(m.overlayCount(), 0u);
    m.stop();
}

} // namespace
