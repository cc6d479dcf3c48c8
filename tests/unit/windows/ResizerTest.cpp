// WindowResizer's rules on a small in-process window manager: element search, screen choice,
// fitting, the one retry, centring, warnings, probe and the diagnostic line.
#include "windows/WindowResizer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>

namespace {

using namespace lc;
namespace WR = lc::WindowResizer;

struct FakeWindow {
    std::int32_t pid = 1;
    Point position;
    Size size;
    std::optional<std::string> title;
    bool fullScreen = false;
    bool settable = true;
    bool readable = true;
    int rounding = 0; // the application rounds sizes down to multiples of this
    FrameExtents extents;
};

FakeWindow win(std::int32_t pid, Point position, Size size, std::optional<std::string> title) {
    FakeWindow w;
    w.pid = pid;
    w.position = position;
    w.size = size;
    w.title = std::move(title);
    return w;
}

class FakeControl : public WindowControl {
public:
    bool trusted = true;
    std::vector<std::pair<std::uint32_t, FakeWindow>> windows; // in the application's order
    std::vector<std::string> calls;

    FakeWindow* get(std::uint32_t id) {
        for (auto& [wid, w] : windows)
            if (wid == id) return &w;
        return nullptr;
    }
    bool isTrusted() override { return trusted; }
    Result<std::vector<std::uint32_t>> windowsOf(std::int32_t pid) override {
        if (!trusted) return makeError("off", 7);
        std::vector<std::uint32_t> out;
        for (auto& [id, w] : windows)
            if (w.pid == pid) out.push_back(id);
        return out;
    }
    std::optional<Point> position(std::uint32_t id) override {
        auto* w = get(id);
        return w && w->readable ? std::optional(w->position) : std::nullopt;
    }
    std::optional<Size> size(std::uint32_t id) override {
        auto* w = get(id);
        return w && w->readable ? std::optional(w->size) : std::nullopt;
    }
    std::optional<std::string> title(std::uint32_t id) override {
        auto* w = get(id);
        return w ? w->title : std::nullopt;
    }
    std::optional<bool> isFullScreen(std::uint32_t id) override {
        auto* w = get(id);
        return w ? std::optional(w->fullScreen) : std::nullopt;
    }
    bool isSizeSettable(std::uint32_t id) override { return get(id) && get(id)->settable; }
    FrameExtents frameExtents(std::uint32_t id) override {
        return get(id) ? get(id)->extents : FrameExtents{};
    }
    bool setPosition(std::uint32_t id, Point p) override {
        calls.push_back("pos " + std::to_string(int(p.x)) + "," + std::to_string(int(p.y)));
        get(id)->position = p;
        return true;
    }
    bool setSize(std::uint32_t id, Size s) override {
        calls.push_back("size " + std::to_string(int(s.width)) + "x" + std::to_string(int(s.height)));
        auto* w = get(id);
        if (w->rounding > 0)
            s = Size{std::floor(s.width / w->rounding) * w->rounding,
                     std::floor(s.height / w->rounding) * w->rounding};
        w->size = s;
        return true;
    }
};

class FakeServer : public WindowServer {
public:
    std::vector<Screen> list;
    std::vector<Screen> screens() override { return list; }
    std::optional<std::int32_t> frontmostProcess() override { return std::nullopt; }
    std::unique_ptr<Subscription> observeActivations(std::function<void(std::int32_t)>) override {
        return nullptr;
    }
    std::vector<OnScreenWindow> onScreenWindows() override { return {}; }
    std::unique_ptr<OverlayWindow> createOverlay(const std::string&) override { return nullptr; }
};

Screen screen(Rect frame, Rect visible, double scale = 1) {
    return Screen{"s", frame, visible, scale, false};
}

class Resizer : public ::testing::Test {
protected:
    FakeControl control;
    FakeServer server;
    std::vector<double> sleeps;
    WR::Services services{control, server, [this](double s) { sleeps.push_back(s); }};

    ShareableWindow shareable(std::uint32_t id, std::int32_t pid = 1) {
        const FakeWindow* w = control.get(id);
        return ShareableWindow{id,       Rect{w->position.x, w->position.y, w->size.width, w->size.height},
                               w->title, 0,
                               true,     OwningApplication{pid, "app", "App"}};
    }
    void SetUp() override {
        // Visible area 1440 × 850: inset by 12 it is the 1416 × 826 of the examples.
        server.list = {screen({0, 0, 1440, 900}, {0, 0, 1440, 850})};
    }
};

TEST_F(Resizer, FindsTheElementByGeometryFirstThenByExactTitle) {
    control.windows = {{1, win(1, {500, 500}, {800, 600}, "Doc")},
                       {2, win(1, {100, 100}, {800, 600}, "Doc")},
                       {3, win(2, {100, 100}, {800, 600}, "Doc")}};
    EXPECT_EQ(WR::findWindow(control, 1, "Doc", {102, 103, 801, 600}), 2u)
        << "the one within 12 points, not the first";
    EXPECT_EQ(WR::findWindow(control, 1, "Doc", {106, 106, 800, 600}), 2u)
        << "12 points off: by title, nearest first";
    control.get(1)->title = "Memo";
    EXPECT_EQ(WR::findWindow(control, 1, "Memo", {106, 106, 800, 600}), 1u);
    EXPECT_EQ(WR::findWindow(control, 1, "", {106, 106, 800, 600}), std::nullopt)
        << "an empty title finds nothing";
    EXPECT_EQ(WR::findWindow(control, 1, "Other", {300, 300, 10, 10}), std::nullopt);
    control.get(1)->title = "Doc";
    control.get(2)->readable = false;
    EXPECT_EQ(WR::findWindow(control, 1, "Doc", {100, 100, 800, 600}), 1u)
        << "unreadable geometry never matches by position";
    control.trusted = false;
    EXPECT_EQ(WR::findWindow(control, 1, "Doc", {500, 500, 800, 600}), std::nullopt);
}

TEST_F(Resizer, AspectWithinOneAndAHalfPercent) {
    EXPECT_TRUE(WR::aspectOK({1280, 721}, 1920, 1080));
    EXPECT_FALSE(WR::aspectOK({1280, 800}, 1920, 1080));
    EXPECT_TRUE(WR::aspectOK({1080, 1920}, 1080, 1920));
    EXPECT_FALSE(WR::aspectOK({1280, 0}, 1920, 1080));
    EXPECT_FALSE(WR::aspectOK({1280, -5}, 1920, 1080));
}

TEST_F(Resizer, FitsTheTargetIntoTheInsetAreaMovesFirstAndCentres) {
    control.windows = {{7, win(1, {300, 200}, {640, 480}, "Doc")}};
    const auto r = WR::resize(services, shareable(7), 1920, 1080);
    EXPECT_FALSE(r.warning);
    EXPECT_EQ(r.pointSize, (Size{1416, 796}));
    EXPECT_TRUE(r.aspectOK);
    const std::vector<std::string> expected{"pos 12,12", "size 1416x796", "pos 12,27"};
    EXPECT_EQ(control.calls, expected);
    EXPECT_EQ(sleeps, std::vector<double>{0.2});

    // On a scale-2 screen the window takes half the preset's pixels in points.
    control.calls.clear();
    server.list = {screen({0, 0, 1440, 900}, {0, 0, 1440, 850}, 2)};
    const auto r2 = WR::resize(services, shareable(7), 1920, 1080);
    EXPECT_EQ(r2.pointSize, (Size{960, 540}));
    EXPECT_EQ(control.calls.back(), "pos 240,155");
}

TEST_F(Resizer, TheScreenHoldingTheCentreIsUsed) {
    server.list = {screen({0, 0, 1920, 1080}, {0, 0, 1920, 1080}),
                   screen({1920, 0, 1280, 1024}, {1920, 0, 1280, 1024})};
    control.windows = {{7, win(1, {2000, 100}, {640, 480}, "Doc")}};
    const auto r = WR::resize(services, shareable(7), 1920, 1080);
    EXPECT_EQ(r.pointSize, (Size{1256, 706}));
    EXPECT_GE(control.get(7)->position.x, 1932);
    EXPECT_LE(control.get(7)->position.x + r.pointSize.width, 3188);

    // A centre on no screen: the primary.
    server.list[1].isPrimary = true;
    control.get(7)->position = {-5000, -5000};
    WR::resize(services, shareable(7), 640, 480);
    EXPECT_GE(control.get(7)->position.x, 1932);
}

TEST_F(Resizer, DecorationsStayInsideTheArea) {
    control.windows = {{7, win(1, {300, 200}, {640, 480}, "Doc")}};
    control.get(7)->extents = {1, 1, 20, 5};
    const auto r = WR::resize(services, shareable(7), 1920, 1080);
    const Point p = control.get(7)->position;
    EXPECT_GE(p.x - 1, 12);
    EXPECT_GE(p.y - 20, 12);
    EXPECT_LE(p.x + r.pointSize.width + 1, 12 + 1416);
    EXPECT_LE(p.y + r.pointSize.height + 5, 12 + 826);
    EXPECT_EQ(r.pointSize, (Size{1414, 795}));
}

TEST_F(Resizer, ARoundingApplicationIsAskedTwiceThenAccepted) {
    control.windows = {{7, win(1, {300, 200}, {640, 480}, "Doc")}};
    control.get(7)->rounding = 10;
    const auto r = WR::resize(services, shareable(7), 1920, 1080);
    EXPECT_FALSE(r.warning);
    EXPECT_EQ(r.pointSize, (Size{1410, 790}));
    EXPECT_TRUE(r.aspectOK);
    EXPECT_EQ(std::count_if(control.calls.begin(), control.calls.end(),
                            [](auto& c) { return c.rfind("size", 0) == 0; }),
              2);
    EXPECT_EQ(sleeps, (std::vector<double>{0.2, 0.2}));
    EXPECT_EQ(control.calls.back(), "pos 15,30") << "centred with its final size";
}

TEST_F(Resizer, WarningsLeaveTheWindowUntouched) {
    control.windows = {{7, win(1, {300, 200}, {1280, 800}, "Doc")}};
    control.trusted = false;
    auto r = WR::resize(services, shareable(7), 1920, 1080);
    EXPECT_EQ(r.warning, "Window control off: not resized");
    EXPECT_EQ(r.pointSize, (Size{1280, 800}));
    EXPECT_FALSE(r.aspectOK);
    control.trusted = true;

    ShareableWindow orphan = shareable(7);
    orphan.owningApplication.reset();
    EXPECT_EQ(WR::resize(services, orphan, 1920, 1080).warning, "Can't control this window: not resized");
    ShareableWindow elsewhere = shareable(7);
    elsewhere.frame = {900, 900, 100, 100};
    elsewhere.title = "Not there";
    EXPECT_EQ(WR::resize(services, elsewhere, 1920, 1080).warning, "Can't control this window: not resized");

    control.get(7)->fullScreen = true;
    r = WR::resize(services, shareable(7), 1280, 800);
    EXPECT_EQ(r.warning, "Full screen: not resized");
    EXPECT_TRUE(r.aspectOK);
    control.get(7)->fullScreen = false;

    control.get(7)->settable = false;
    control.get(7)->size = {800, 450};
    ShareableWindow fixed = shareable(7);
    r = WR::resize(services, fixed, 1920, 1080);
    EXPECT_FALSE(r.warning) << "a fixed-size window needs no warning";
    EXPECT_EQ(r.pointSize, (Size{800, 450}));
    EXPECT_TRUE(r.aspectOK) << "aspect judged on its own size";
    EXPECT_TRUE(control.calls.empty());
    EXPECT_TRUE(sleeps.empty());
}

TEST_F(Resizer, ProbePutsTheWindowBack) {
    control.windows = {{7, win(1, {300, 200}, {640, 480}, "Doc")}};
    EXPECT_EQ(WR::probe(services, shareable(7), 1920, 1080), true);
    EXPECT_EQ(control.get(7)->size, (Size{640, 480}));
    EXPECT_EQ(control.get(7)->position, (Point{300, 200}));
    EXPECT_EQ(sleeps.back(), 0.1);

    control.get(7)->settable = false;
    EXPECT_EQ(WR::probe(services, shareable(7), 1920, 1080), false)
        << "a fixed 4:3 window cannot become 16:9";
    control.get(7)->settable = true;

    ShareableWindow orphan = shareable(7);
    orphan.owningApplication.reset();
    EXPECT_EQ(WR::probe(services, orphan, 1920, 1080), std::nullopt);
    const ShareableWindow w = shareable(7);
    control.get(7)->readable = false;
    EXPECT_EQ(WR::probe(services, w, 1920, 1080), std::nullopt);
    control.trusted = false;
    EXPECT_EQ(WR::probe(services, w, 1920, 1080), std::nullopt);
}

TEST_F(Resizer, DiagnoseLine) {
    control.windows = {{7, win(1, {0, 25}, {1280, 800}, "Doc")}, {8, win(1, {5, 5}, {10, 10}, std::nullopt)}};
    EXPECT_EQ(WR::diagnose(services, shareable(7)),
              "AXtrusted=true windowsErr=0 count=2 frame=(0.0, 25.0, 1280.0, 800.0) title=Doc");
    ShareableWindow w = shareable(8);
    w.frame = {0.5, 1, 2, 3};
    control.trusted = false;
    EXPECT_EQ(WR::diagnose(services, w),
              "AXtrusted=false windowsErr=7 count=-1 frame=(0.5, 1.0, 2.0, 3.0) title=-");
    w.owningApplication.reset();
    EXPECT_EQ(WR::diagnose(services, w), "no app");
}

} // namespace
