// Window capture on a real X server: frames only for new content, pixels that are the window's
// own even when covered, resize, unmap, close, cursor, the pool limit and screenshots.
#include "TestPattern.h"
#include "X11TestSupport.h"
#include "common/Clock.h"
#include "platform/x11/Grabber.h"
#include "platform/x11/X11Desktop.h"

#include <atomic>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;
namespace pat = lc::test::pattern;
using lc::test::TestWindow;

namespace {

struct Record {
    int width = 0, height = 0;
    std::optional<std::uint32_t> counter;
    double hostTime = 0;
};

// Keeps what the tests look at and lets every frame go at once, except the newest.
class Collector {
public:
    lc::CaptureStream::Handlers handlers() {
        return {[this](lc::BgraFramePtr f) {
                    std::lock_guard lock(m_);
                    records_.push_back({f->width, f->height,
                                        pat::decodeCounter(f->data, f->stride, f->width, f->height),
                                        f->hostTime});
                    if (hold_) held_.push_back(f);
                    last_ = std::move(f);
                },
                [this](const lc::Error& e) {
                    std::lock_guard lock(m_);
                    errors_.push_back(e.message);
                }};
    }
    std::vector<Record> records() {
        std::lock_guard lock(m_);
        return records_;
    }
    std::size_t count() {
        std::lock_guard lock(m_);
        return records_.size();
    }
    lc::BgraFramePtr last() {
        std::lock_guard lock(m_);
        return last_;
    }
    std::vector<std::string> errors() {
        std::lock_guard lock(m_);
        return errors_;
    }
    void holdAll(bool hold) {
        std::lock_guard lock(m_);
        hold_ = hold;
        if (!hold) held_.clear();
    }

private:
    std::mutex m_;
    std::vector<Record> records_;
    std::vector<lc::BgraFramePtr> held_;
    lc::BgraFramePtr last_;
    std::vector<std::string> errors_;
    bool hold_ = false;
};

bool pixelIs(const lc::BgraFrame& f, int x, int y, std::uint32_t rgb, int tolerance = 0) {
    const std::uint8_t* p = f.row(y) + x * 4;
    const auto want = pat::colourPixel(rgb);
    return std::abs(p[0] - want.b) <= tolerance && std::abs(p[1] - want.g) <= tolerance &&
           std::abs(p[2] - want.r) <= tolerance && p[3] == 255;
}

std::string describe(const lc::BgraFrame& f, int x, int y) {
    const std::uint8_t* p = f.row(y) + x * 4;
    char buf[64];
    std::snprintf(buf, sizeof buf, "BGRA %d %d %d %d", p[0], p[1], p[2], p[3]);
    return buf;
}

class Capture : public lc::test::DesktopSuite<Capture> {
protected:
    void SetUp() override {
        DesktopSuite::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_TRUE(desktop_->isCaptureAvailable());
    }

    std::unique_ptr<lc::CaptureStream> startStream(std::uint32_t id, Collector& c, double interval = 1.0 / 30,
                                                   bool cursor = false) {
        lc::StreamConfiguration cfg;
        cfg.minimumFrameInterval = interval;
        cfg.showsCursor = cursor;
        auto s = desktop_->createStream(id, cfg, c.handlers());
        EXPECT_TRUE(s.ok());
        if (!s) return nullptr;
        auto started = s.value()->start();
        EXPECT_TRUE(started.ok()) << (started ? "" : started.error().message);
        return std::move(s.value());
    }
};

TEST_F(Capture, StaticWindowGivesExactlyOneCompleteFrameWithItsOwnPixels) {
    TestWindow w({"--title", "static", "--size", "320x200", "--pos", "40,40", "--colour", "20a040"});
    ASSERT_TRUE(w.ok());
    std::this_thread::sleep_for(300ms);
    Collector c;
    auto stream = startStream(w.id(), c);
    ASSERT_TRUE(stream);
    std::this_thread::sleep_for(1500ms);
    const auto records = c.records();
    ASSERT_EQ(records.size(), 1u) << "an unchanged window must not deliver more complete frames";
    EXPECT_EQ(records[0].width, 320);
    EXPECT_EQ(records[0].height, 200);
    EXPECT_EQ(records[0].counter, 0u);
    EXPECT_NEAR(records[0].hostTime, lc::uptime(), 2.0);
    const auto f = c.last();
    EXPECT_TRUE(pixelIs(*f, 200, 100, 0x20a040));
    EXPECT_TRUE(pixelIs(*f, 319, 199, 0x20a040));
    stream->stop();
    EXPECT_TRUE(c.errors().empty());
}

TEST_F(Capture, AnimatedWindowGivesOneFramePerChangeUpToTheFrameRate) {
    {
        // 10 changes a second, stream allows 30: every change is a frame of its own.
        TestWindow w({"--title", "slow", "--size", "320x200", "--animate", "--fps", "10"});
        ASSERT_TRUE(w.ok());
        Collector c;
        auto stream = startStream(w.id(), c, 1.0 / 30);
        std::this_thread::sleep_for(2000ms);
        stream->stop();
        const auto r = c.records();
        EXPECT_GE(r.size(), 16u);
        EXPECT_LE(r.size(), 24u);
        for (std::size_t i = 1; i < r.size(); ++i) {
            ASSERT_TRUE(r[i].counter && r[i - 1].counter) << "torn or foreign frame at " << i;
            EXPECT_GT(*r[i].counter, *r[i - 1].counter) << "a frame without new content at " << i;
            EXPECT_GT(r[i].hostTime, r[i - 1].hostTime);
        }
    }
    {
        // 60 changes a second, stream allows 15.
        TestWindow w({"--title", "fast", "--size", "320x200", "--animate", "--fps", "60"});
        ASSERT_TRUE(w.ok());
        Collector c;
        auto stream = startStream(w.id(), c, 1.0 / 15);
        std::this_thread::sleep_for(2000ms);
        stream->stop();
        const auto r = c.records();
        EXPECT_GE(r.size(), 20u);
        EXPECT_LE(r.size(), 32u);
        for (std::size_t i = 1; i < r.size(); ++i)
            EXPECT_GE(r[i].hostTime - r[i - 1].hostTime, 1.0 / 15 - 0.002)
                << "frames closer than the interval";
    }
}

TEST_F(Capture, CoveredWindowUnderAnOutlineIsCapturedWithItsOwnContent) {
    TestWindow target({"--title", "covered", "--size", "400x300", "--pos", "100,100", "--colour", "c03030"});
    ASSERT_TRUE(target.ok());
    std::this_thread::sleep_for(300ms);
    TestWindow cover({"--title", "cover", "--size", "300x300", "--pos", "250,150", "--colour", "3030c0"});
    ASSERT_TRUE(cover.ok());
    auto outline = desktop_->createOverlay("lc-outline");
    ASSERT_TRUE(outline);
    const auto g = lc::test::clientGeometry(target.id());
    ASSERT_TRUE(g);
    outline->setFrame({double(g->x - 4), double(g->y - 4), double(g->width + 8), double(g->height + 8)});
    outline->setRing({4, 1.5, 24, {1, 0.12, 0.12, 1}});
    outline->orderAbove(target.id());
    outline->show();
    lc::test::x("xdotool", {"windowactivate", "--sync", cover.idText()});
    std::this_thread::sleep_for(300ms);

    Collector c;
    auto stream = startStream(target.id(), c);
    // A window redirected while covered shows its background until it repaints (and, on a busy
    // machine, may still be at the size it was mapped with).
    ASSERT_TRUE(lc::test::waitUntil(
        [&] {
            const auto f = c.last();
            // The counter at the top comes with the same repaint: a grab in the middle of it
            // has the colour but not yet the counter.
            return f && f->width == 400 && f->height == 300 && pixelIs(*f, 200, 150, 0xc03030) &&
                   pixelIs(*f, 399, 299, 0xc03030) &&
                   pat::decodeCounter(f->data, f->stride, f->width, f->height).has_value();
        },
        5s));
    const auto f = c.last();
    int wrong = 0;
    for (int y = pat::blockSize; y < 300; y += 7)
        for (int x = 0; x < 400; x += 7)
            wrong += !pixelIs(*f, x, y, 0xc03030);
    EXPECT_EQ(wrong, 0) << "pixels of the cover or the outline leaked into the capture";
    EXPECT_EQ(pat::decodeCounter(f->data, f->stride, f->width, f->height), 0u);

    // The single screenshot reads the same pixels.
    auto shot = desktop_->screenshotWindow(target.id());
    ASSERT_TRUE(shot.ok());
    EXPECT_TRUE(pixelIs(*shot.value(), 399, 299, 0xc03030));
    EXPECT_TRUE(pixelIs(*shot.value(), 200, 100, 0xc03030));
    auto thumb = desktop_->screenshotWindow(target.id(), 160, 120);
    ASSERT_TRUE(thumb.ok());
    EXPECT_EQ(thumb.value()->width, 160);
    EXPECT_EQ(thumb.value()->height, 120);
    EXPECT_TRUE(pixelIs(*thumb.value(), 100, 80, 0xc03030, 3)) << describe(*thumb.value(), 100, 80);

    // The display picture shows only the windows asked for: the outline and the target.
    const std::uint32_t only[] = {target.id(), outline->windowID()};
    auto screen = desktop_->screenshotDisplay(0, only);
    ASSERT_TRUE(screen.ok());
    const lc::BgraFrame& s = *screen.value();
    EXPECT_EQ(s.width, 1920);
    EXPECT_TRUE(pixelIs(s, g->x + 350, g->y + 250, 0xc03030)) << "the covering window was not left out";
    EXPECT_TRUE(pixelIs(s, g->x + 200, g->y - 3, 0xff1f1f)) << "the outline is missing";
    EXPECT_TRUE(pixelIs(s, 5, 5, 0x000000));
    stream->stop();
}

TEST_F(Capture, ResizeIsFollowedAndUnmappedWindowsDeliverNothing) {
    TestWindow w({"--title", "resizing", "--size", "320x200", "--animate", "--fps", "20"});
    ASSERT_TRUE(w.ok());
    Collector c;
    auto stream = startStream(w.id(), c);
    ASSERT_TRUE(lc::test::waitUntil([&] { return c.count() >= 3; }, 2s));

    lc::test::x("xdotool", {"windowsize", w.idText(), "500", "260"});
    ASSERT_TRUE(lc::test::waitUntil([&] { return c.last()->width == 500 && c.last()->height == 260; }, 2s));
    std::this_thread::sleep_for(200ms);
    const auto f = c.last();
    EXPECT_TRUE(pat::decodeCounter(f->data, f->stride, f->width, f->height))
        << "stale pixmap after the resize";

    lc::test::x("xdotool", {"windowminimize", "--sync", w.idText()});
    std::this_thread::sleep_for(300ms);
    const std::size_t before = c.count();
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(c.count(), before) << "an unmapped window delivered frames";

    lc::test::x("xdotool", {"windowactivate", "--sync", w.idText()});
    EXPECT_TRUE(lc::test::waitUntil([&] { return c.count() >= before + 3; }, 2s))
        << "no frames after mapping again";
    stream->stop();
    EXPECT_TRUE(c.errors().empty());
}

TEST_F(Capture, ClosingTheWindowEndsTheStreamWithOneError) {
    TestWindow w({"--title", "closing", "--size", "320x200", "--animate"});
    ASSERT_TRUE(w.ok());
    Collector c;
    auto stream = startStream(w.id(), c);
    ASSERT_TRUE(lc::test::waitUntil([&] { return c.count() >= 1; }, 2s));
    w.terminate();
    ASSERT_TRUE(lc::test::waitUntil([&] { return !c.errors().empty(); }, 3s));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(c.errors().size(), 1u);
    EXPECT_FALSE(c.errors().front().empty());
    stream->stop();

    // A window that is gone before its stream starts: a clear error, no stream.
    Collector late;
    auto s = desktop_->createStream(w.id(), {}, late.handlers());
    ASSERT_TRUE(s.ok());
    EXPECT_FALSE(s.value()->start().ok());
    EXPECT_FALSE(desktop_->screenshotWindow(w.id()).ok());
}

TEST_F(Capture, FramesHeldDownstreamPauseTheStreamAtTheQueueDepth) {
    TestWindow w({"--title", "pool", "--size", "320x200", "--animate", "--fps", "30"});
    ASSERT_TRUE(w.ok());
    Collector c;
    c.holdAll(true);
    auto stream = startStream(w.id(), c);
    std::this_thread::sleep_for(800ms);
    EXPECT_EQ(c.count(), 6u) << "more frames out than the queue depth";
    c.holdAll(false);
    EXPECT_TRUE(lc::test::waitUntil([&] { return c.count() >= 12; }, 2s));
    stream->stop();
}

TEST_F(Capture, PointerOverTheWindowIsDrawnAndItsMovementIsNewContent) {
    TestWindow w({"--title", "cursor", "--size", "300x200", "--pos", "600,300", "--colour", "808080"});
    ASSERT_TRUE(w.ok());
    lc::test::x("xdotool", {"mousemove", "10", "10"});
    std::this_thread::sleep_for(300ms);
    const auto g = lc::test::clientGeometry(w.id());
    ASSERT_TRUE(g);

    Collector without;
    auto plain = startStream(w.id(), without, 1.0 / 30, false);
    Collector with;
    auto cursor = startStream(w.id(), with, 1.0 / 30, true);
    ASSERT_TRUE(lc::test::waitUntil([&] { return with.count() == 1 && without.count() == 1; }, 2s));
    lc::test::x("xdotool", {"mousemove", QString::number(g->x + 150), QString::number(g->y + 100)});
    ASSERT_TRUE(lc::test::waitUntil([&] { return with.count() >= 2; }, 2s))
        << "pointer movement gave no frame";
    std::this_thread::sleep_for(300ms);
    const auto f = with.last();
    int changed = 0;
    for (int y = 90; y < 110; ++y)
        for (int x = 140; x < 160; ++x)
            changed += !pixelIs(*f, x, y, 0x808080);
    EXPECT_GT(changed, 0) << "no cursor drawn around the pointer";
    EXPECT_EQ(without.count(), 1u) << "a stream without the cursor reacted to the pointer";
    cursor->stop();
    plain->stop();
}

TEST(CaptureDeepColour, TenBitWindowsAreCapturedInTheirOwnColours) {
    LC_REQUIRE_TEST_ENV();
    const lc::test::DeepColourDesktop deep;
    ASSERT_TRUE(deep.ok()) << deep.display.error().toStdString();
    // Distinct channels, so that a swap of red and blue shows.
    TestWindow w({"--title", "deep", "--size", "320x200", "--pos", "40,40", "--colour", "c86432"});
    ASSERT_TRUE(w.ok());
    ASSERT_TRUE(lc::test::x("xwininfo", {"-id", w.idText()}).contains("Depth: 30"));

    Collector c;
    lc::StreamConfiguration cfg;
    cfg.showsCursor = false;
    auto s = deep.desktop->createStream(w.id(), cfg, c.handlers());
    ASSERT_TRUE(s.ok());
    const auto started = s.value()->start();
    ASSERT_TRUE(started.ok()) << started.error().message;
    ASSERT_TRUE(lc::test::waitUntil([&] { return c.count() >= 1; }, 5s));
    const auto f = c.last();
    EXPECT_EQ(f->width, 320);
    EXPECT_TRUE(pixelIs(*f, 200, 100, 0xc86432)) << describe(*f, 200, 100);
    EXPECT_TRUE(pixelIs(*f, 319, 199, 0xc86432)) << describe(*f, 319, 199);
    EXPECT_EQ(c.records().back().counter, 0u) << "the counter's black and white blocks";
    s.value()->stop();
    EXPECT_TRUE(c.errors().empty());

    const auto shot = deep.desktop->screenshotWindow(w.id());
    ASSERT_TRUE(shot.ok()) << shot.error().message;
    EXPECT_TRUE(pixelIs(*shot.value(), 100, 150, 0xc86432)) << describe(*shot.value(), 100, 150);
}

TEST(CaptureDeepColour, EveryLayoutBecomesOpaqueEightBitBgra) {
    // One pixel per channel value, in each layout the server may hand over, and an odd width so
    // that a vectorised loop's tail is covered too.
    using lc::x11::PixelLayout;
    const std::uint32_t r = 0x2ab, g = 0x155, b = 0x3fe; // 10-bit channels
    const std::vector<std::pair<PixelLayout, std::uint32_t>> cases{
        {PixelLayout::x2r10g10b10, (r << 20) | (g << 10) | b},
        {PixelLayout::x2b10g10r10, (b << 20) | (g << 10) | r},
        {PixelLayout::bgrx8, ((r >> 2) << 16) | ((g >> 2) << 8) | (b >> 2)},
    };
    for (const auto& [layout, word] : cases) {
        std::vector<std::uint32_t> px(37 * 3, word | 0xc0000000u); // padding bits set: ignored
        lc::x11::toOpaqueBgra(layout, reinterpret_cast<std::uint8_t*>(px.data()), 37 * 4, 37, 3);
        for (std::uint32_t p : px)
            ASSERT_EQ(p, 0xff000000u | ((r >> 2) << 16) | ((g >> 2) << 8) | (b >> 2)) << int(layout);
    }
}

TEST(CaptureServer, ServerThatDiesEndsStreamsWithAnErrorAndQueriesAnswerEmpty) {
    LC_REQUIRE_TEST_ENV();
    auto display = std::make_unique<lc::test::PrivateDisplay>();
    ASSERT_TRUE(display->ok());
    auto desktop = lc::x11::X11Desktop::connect();
    ASSERT_TRUE(desktop.ok());
    auto w = std::make_unique<TestWindow>(QStringList{"--title", "doomed", "--animate"});
    ASSERT_TRUE(w->ok());
    Collector c;
    auto s = desktop.value()->createStream(w->id(), {}, c.handlers());
    ASSERT_TRUE(s.ok());
    ASSERT_TRUE(s.value()->start().ok());
    ASSERT_TRUE(lc::test::waitUntil([&] { return c.count() >= 1; }, 2s));
    display->stop();
    EXPECT_TRUE(lc::test::waitUntil([&] { return !c.errors().empty(); }, 5s));
    EXPECT_EQ(c.errors().size(), 1u);
    s.value()->stop();
    EXPECT_FALSE(desktop.value()->shareableContent().ok());
    EXPECT_TRUE(desktop.value()->onScreenWindows().empty());
    EXPECT_FALSE(desktop.value()->frontmostProcess());
    EXPECT_FALSE(desktop.value()->isTrusted());
    EXPECT_FALSE(desktop.value()->screenshotWindow(w->id()).ok());
    w.reset();
}

} // namespace
