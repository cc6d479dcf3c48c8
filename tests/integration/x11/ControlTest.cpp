// WindowResizer through openbox: presets, fixed-size, full-screen and rounding windows, probe,
// and the two-monitor layout.
#include "X11TestSupport.h"
#include "platform/x11/X11Desktop.h"
#include "windows/WindowResizer.h"

#include <algorithm>
#include <thread>

using namespace std::chrono_literals;
using lc::test::TestWindow;
namespace WR = lc::WindowResizer;

namespace {

// Counts the size requests on their way to the real window manager.
class CountingControl : public lc::WindowControl {
public:
    explicit CountingControl(lc::WindowControl& real) : real_(real) {}
    int sizeRequests = 0;
    bool isTrusted() override { return real_.isTrusted(); }
    lc::Result<std::vector<std::uint32_t>> windowsOf(std::int32_t pid) override {
        return real_.windowsOf(pid);
    }
    std::optional<lc::Point> position(std::uint32_t w) override { return real_.position(w); }
    std::optional<lc::Size> size(std::uint32_t w) override { return real_.size(w); }
    std::optional<std::string> title(std::uint32_t w) override { return real_.title(w); }
    std::optional<bool> isFullScreen(std::uint32_t w) override { return real_.isFullScreen(w); }
    bool isSizeSettable(std::uint32_t w) override { return real_.isSizeSettable(w); }
    lc::FrameExtents frameExtents(std::uint32_t w) override { return real_.frameExtents(w); }
    bool setPosition(std::uint32_t w, lc::Point p) override { return real_.setPosition(w, p); }
    bool setSize(std::uint32_t w, lc::Size s) override {
        ++sizeRequests;
        return real_.setSize(w, s);
    }

private:
    lc::WindowControl& real_;
};

// The window as the catalogue lists it, once the window manager lists it among its clients too:
// a window can draw its first frame a moment before that.
std::optional<lc::ShareableWindow> listed(lc::x11::X11Desktop& d, std::uint32_t id) {
    std::optional<lc::ShareableWindow> found;
    lc::test::waitUntil(
        [&] {
            found.reset();
            auto c = d.shareableContent();
            if (!c) return false;
            for (const auto& w : c.value().windows)
                if (w.windowID == id) found = w;
            if (!found || !found->owningApplication) return false;
            const auto managed = d.windowsOf(found->owningApplication->processID);
            return managed && std::ranges::count(managed.value(), id) > 0;
        },
        5s);
    return found;
}

// The window with its decorations, from the client area and the frame extents.
lc::Rect outer(lc::x11::X11Desktop& d, std::uint32_t id) {
    const auto g = lc::test::clientGeometry(id);
    const auto e = d.frameExtents(id);
    if (!g) return {};
    return {g->x - e.left, g->y - e.top, g->width + e.left + e.right, g->height + e.top + e.bottom};
}

class Control : public lc::test::DesktopSuite<Control> {
protected:
    void SetUp() override {
        DesktopSuite::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_TRUE(desktop_->isTrusted()) << "openbox is an EWMH window manager";
    }
    WR::Services services() { return {*desktop_, *desktop_}; }
};

TEST_F(Control, LandscapeAndPortraitPresetsFillTheScreenCentred) {
    TestWindow w({"--title", "Resizable", "--size", "640x480", "--pos", "300,200"});
    ASSERT_TRUE(w.ok());
    const lc::Rect area{12, 12, 1920 - 24, 1080 - 24};
    for (auto [pw, ph] : {std::pair{1920.0, 1080.0}, std::pair{1080.0, 1920.0}}) {
        const auto win = listed(*desktop_, w.id());
        ASSERT_TRUE(win);
        const auto r = WR::resize(services(), *win, pw, ph);
        EXPECT_FALSE(r.warning) << *r.warning;
        EXPECT_TRUE(r.aspectOK) << r.pointSize.width << "x" << r.pointSize.height;
        EXPECT_GE(r.pointSize.height, 1030) << "as large as the screen allows";
        std::this_thread::sleep_for(200ms);
        const auto g = lc::test::clientGeometry(w.id());
        ASSERT_TRUE(g);
        EXPECT_EQ(g->width, r.pointSize.width);
        EXPECT_EQ(g->height, r.pointSize.height);
        const lc::Rect o = outer(*desktop_, w.id());
        EXPECT_EQ(o.intersected(area), o) << "decorations inside the screen's area";
        EXPECT_NEAR(o.midX(), area.midX(), 1.0) << "centred";
        EXPECT_NEAR(o.midY(), area.midY(), 1.0);
    }
}

TEST_F(Control, FixedSizeAndFullScreenWindowsAreLeftAlone) {
    TestWindow fixed({"--title", "Fixed", "--size", "800x450", "--fixed", "--pos", "100,100"});
    TestWindow full({"--title", "Full", "--fullscreen"});
    ASSERT_TRUE(fixed.ok() && full.ok());
    std::this_thread::sleep_for(200ms);
    const auto before = lc::test::clientGeometry(fixed.id());

    auto win = listed(*desktop_, fixed.id());
    ASSERT_TRUE(win);
    auto r = WR::resize(services(), *win, 1920, 1080);
    EXPECT_FALSE(r.warning);
    EXPECT_EQ(r.pointSize, (lc::Size{800, 450}));
    EXPECT_TRUE(r.aspectOK);
    EXPECT_FALSE(WR::resize(services(), *win, 1080, 1920).aspectOK);
    std::this_thread::sleep_for(200ms);
    const auto after = lc::test::clientGeometry(fixed.id());
    ASSERT_TRUE(before && after);
    EXPECT_EQ(after->x, before->x);
    EXPECT_EQ(after->y, before->y);

    win = listed(*desktop_, full.id());
    ASSERT_TRUE(win);
    r = WR::resize(services(), *win, 1080, 1920);
    EXPECT_EQ(r.warning, "Full screen: not resized");
    EXPECT_EQ(r.pointSize, (lc::Size{1920, 1080}));
}

TEST_F(Control, ARoundingWindowIsSetTwiceThenAccepted) {
    TestWindow w({"--title", "Rounding", "--size", "640x480", "--inc", "16"});
    ASSERT_TRUE(w.ok());
    CountingControl counting(*desktop_);
    const WR::Services s{counting, *desktop_};
    const auto win = listed(*desktop_, w.id());
    ASSERT_TRUE(win);
    const auto r = WR::resize(s, *win, 1920, 1080);
    EXPECT_FALSE(r.warning);
    EXPECT_EQ(counting.sizeRequests, 2);
    EXPECT_EQ(int(r.pointSize.width) % 16, 0);
    EXPECT_EQ(int(r.pointSize.height) % 16, 0);
    EXPECT_TRUE(r.aspectOK);
}

TEST_F(Control, ProbeAnswersAndPutsTheWindowBack) {
    TestWindow w({"--title", "Probed", "--size", "640x480", "--pos", "200,150"});
    ASSERT_TRUE(w.ok());
    std::this_thread::sleep_for(200ms);
    const auto before = lc::test::clientGeometry(w.id());
    const auto win = listed(*desktop_, w.id());
    ASSERT_TRUE(before && win);
    EXPECT_EQ(WR::probe(services(), *win, 1920, 1080), true);
    EXPECT_TRUE(lc::test::waitUntil(
        [&] {
            const auto g = lc::test::clientGeometry(w.id());
            return g && g->x == before->x && g->y == before->y && g->width == 640 && g->height == 480;
        },
        2s));
    EXPECT_EQ(WR::diagnose(services(), *win).rfind("AXtrusted=true windowsErr=0 count=1 frame=(", 0), 0u)
        << WR::diagnose(services(), *win);
}

TEST(ControlTwoMonitors, AWindowOnTheRightMonitorIsResizedWithinIt) {
    LC_REQUIRE_TEST_ENV();
    lc::test::PrivateDisplay display({"--screen", "3200x1080x24", "--no-pulse"});
    ASSERT_TRUE(display.ok()) << display.error().toStdString();
    lc::test::x("xrandr", {"--setmonitor", "*LEFT", "1920/508x1080/286+0+0", "screen"});
    lc::test::x("xrandr", {"--setmonitor", "RIGHT", "1280/338x1024/270+1920+0", "none"});
    auto desktop = lc::x11::X11Desktop::connect();
    ASSERT_TRUE(desktop.ok());
    auto& d = *desktop.value();

    const auto screens = d.screens();
    ASSERT_EQ(screens.size(), 2u);
    EXPECT_EQ(screens[0].name, "LEFT");
    EXPECT_TRUE(screens[0].isPrimary);
    EXPECT_EQ(screens[0].frame, (lc::Rect{0, 0, 1920, 1080}));
    EXPECT_EQ(screens[1].frame, (lc::Rect{1920, 0, 1280, 1024}));

    TestWindow w({"--title", "Right", "--size", "640x480", "--pos", "2200,100"});
    ASSERT_TRUE(w.ok());
    std::this_thread::sleep_for(200ms);
    const auto win = listed(d, w.id());
    ASSERT_TRUE(win);
    const auto r = WR::resize({d, d}, *win, 1920, 1080);
    EXPECT_FALSE(r.warning);
    EXPECT_TRUE(r.aspectOK);
    EXPECT_GE(r.pointSize.width, 1250) << "the right monitor's width decides";
    std::this_thread::sleep_for(200ms);
    const lc::Rect o = outer(d, w.id());
    EXPECT_EQ(o.intersected({1932, 12, 1256, 1000}), o)
        << o.x << "," << o.y << " " << o.width << "x" << o.height;
}

} // namespace
