// Outlines on a real X server: they follow a moved window, sit just above it, hide with it, change
// style, let clicks through, and close when the window is no longer a target.
#include "X11TestSupport.h"
#include "platform/x11/X11Desktop.h"
#include "windows/OutlineManager.h"

#include <QCoreApplication>
#include <QRegularExpression>

using namespace std::chrono_literals;
using lc::OutlineManager;
using lc::test::TestWindow;
using Style = lc::OutlineView::Style;

namespace {

long indexOf(const std::vector<lc::OnScreenWindow>& order, std::uint32_t id) {
    for (std::size_t i = 0; i < order.size(); ++i)
        if (order[i].windowID == id) return long(i);
    return -1;
}

std::optional<lc::Rect> frameOf(lc::WindowServer& s, std::uint32_t id) {
    for (const auto& w : s.onScreenWindows())
        if (w.windowID == id) return w.frame;
    return std::nullopt;
}

class Outlines : public lc::test::DesktopSuite<Outlines> {
protected:
    // Waits until the outline around `target` sits kMargin around the target's client area.
    bool outlineAround(OutlineManager& m, std::uint32_t target) {
        return lc::test::waitUntil(
            [&] {
                const auto o = m.overlayFor(target);
                const auto t = frameOf(*desktop_, target);
                const auto of = o ? frameOf(*desktop_, *o) : std::nullopt;
                return t && of && *of == OutlineManager::outlineFrame(*t);
            },
            2s);
    }
};

TEST_F(Outlines, FollowTheirWindowAndStayJustAboveIt) {
    TestWindow a({"--title", "Target", "--size", "400x300", "--pos", "100,100", "--colour", "ffffff"});
    TestWindow b({"--title", "Other", "--size", "400x300", "--pos", "300,200"});
    ASSERT_TRUE(a.ok() && b.ok());
    lc::test::x("xdotool", {"windowactivate", "--sync", a.idText()});

    Style style = Style::recording;
    OutlineManager m(desktop_);
    m.start([&] { return std::vector<OutlineManager::Target>{{a.id(), style}}; });
    ASSERT_TRUE(outlineAround(m, a.id()));
    const std::uint32_t overlay = *m.overlayFor(a.id());
    auto order = desktop_->onScreenWindows();
    EXPECT_EQ(indexOf(order, overlay), indexOf(order, a.id()) - 1) << "directly above its window";

    lc::test::x("xdotool", {"windowmove", "--sync", a.idText(), "700", "400"});
    EXPECT_TRUE(outlineAround(m, a.id())) << "did not follow the move";

    // Another window in front covers the outline too.
    lc::test::x("xdotool", {"windowactivate", "--sync", b.idText()});
    lc::test::x("xdotool", {"windowmove", "--sync", b.idText(), "650", "350"});
    EXPECT_TRUE(lc::test::waitUntil(
        [&] {
            order = desktop_->onScreenWindows();
            return indexOf(order, b.id()) < indexOf(order, overlay) &&
                   indexOf(order, overlay) == indexOf(order, a.id()) - 1;
        },
        2s));
    lc::test::x("xdotool", {"windowactivate", "--sync", a.idText()});
    EXPECT_TRUE(lc::test::waitUntil(
        [&] {
            order = desktop_->onScreenWindows();
            return indexOf(order, a.id()) < indexOf(order, b.id()) &&
                   indexOf(order, overlay) == indexOf(order, a.id()) - 1;
        },
        2s))
        << "the outline did not come back above its raised window: " << indexOf(order, overlay) << " "
        << indexOf(order, a.id()) << " of " << order.size() << " first " << order[0].windowID;

    // Its pixels: the ring in the style's colour, and the window's own pixels inside.
    const auto t = frameOf(*desktop_, a.id());
    ASSERT_TRUE(t);
    auto colourAt = [&](int x, int y) {
        const std::uint32_t ids[] = {a.id(), overlay};
        auto shot = desktop_->screenshotDisplay(0, ids);
        if (!shot) return 0u;
        const std::uint8_t* p = shot.value()->row(y) + x * 4;
        return std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0];
    };
    const int ringX = int(t->midX()), ringY = int(t->y) - 2;
    EXPECT_EQ(colourAt(ringX, ringY), 0xcc5252u) << "translucent red over mid-grey";
    style = Style::focused;
    EXPECT_TRUE(lc::test::waitUntil([&] { return colourAt(ringX, ringY) == 0xff1f1fu; }, 2s));
    EXPECT_EQ(colourAt(int(t->midX()), int(t->midY())), 0xffffffu) << "the inside is not covered";

    // Clicks pass through the ring.
    lc::test::x("xdotool", {"mousemove", QString::number(ringX), QString::number(ringY)});
    const QString under = lc::test::x("xdotool", {"getmouselocation", "--shell"});
    const auto win = QRegularExpression("WINDOW=(\\d+)").match(under);
    ASSERT_TRUE(win.hasMatch()) << "[" << under.toStdString() << "]";
    EXPECT_NE(win.captured(1).toUInt(), overlay);
}

TEST_F(Outlines, HideWithTheirWindowAndCloseWhenNoLongerATarget) {
    auto a = std::make_unique<TestWindow>(QStringList{"--title", "Minimised", "--size", "400x300"});
    TestWindow b({"--title", "Kept", "--size", "400x300", "--pos", "600,300"});
    ASSERT_TRUE(a->ok() && b.ok());
    const std::uint32_t aid = a->id();
    std::vector<OutlineManager::Target> targets{{aid, Style::recording}, {b.id(), Style::idle}};
    OutlineManager m(desktop_);
    m.start([&] { return targets; });
    ASSERT_TRUE(outlineAround(m, aid));
    ASSERT_TRUE(outlineAround(m, b.id()));
    const std::uint32_t overlayA = *m.overlayFor(aid), overlayB = *m.overlayFor(b.id());

    lc::test::x("xdotool", {"windowminimize", "--sync", a->idText()});
    EXPECT_TRUE(lc::test::waitUntil([&] { return !frameOf(*desktop_, overlayA); }, 2s))
        << "outline of a minimised window";
    EXPECT_EQ(m.overlayFor(aid), overlayA) << "kept while hidden";
    lc::test::x("xdotool", {"windowactivate", "--sync", a->idText()});
    EXPECT_TRUE(outlineAround(m, aid)) << "not shown again";

    a.reset(); // the window closes
    EXPECT_TRUE(lc::test::waitUntil([&] { return !frameOf(*desktop_, overlayA); }, 2s));
    targets = {{b.id(), Style::idle}};
    EXPECT_TRUE(lc::test::waitUntil([&] { return m.overlayCount() == 1 && !m.overlayFor(aid); }, 2s));
    EXPECT_TRUE(lc::test::x("xwininfo", {"-id", QString::number(overlayA)}).isEmpty())
        << "overlay window not closed";

    m.stop();
    EXPECT_EQ(m.overlayCount(), 0u);
    EXPECT_FALSE(m.isRunning());
    EXPECT_TRUE(lc::test::waitUntil([&] { return !frameOf(*desktop_, overlayB); }, 1s));
}

TEST(OutlinesDeepColour, RingsKeepTheirColourOnATenBitScreen) {
    LC_REQUIRE_TEST_ENV();
    const lc::test::DeepColourDesktop deep;
    ASSERT_TRUE(deep.ok()) << deep.display.error().toStdString();
    const auto& desktop = deep.desktop;
    TestWindow a({"--title", "Target", "--size", "400x300", "--pos", "100,100", "--colour", "ffffff"});
    ASSERT_TRUE(a.ok());
    OutlineManager m(desktop);
    m.start([&] { return std::vector<OutlineManager::Target>{{a.id(), Style::focused}}; });
    ASSERT_TRUE(lc::test::waitUntil([&] { return m.overlayFor(a.id()).has_value(); }, 2s));
    const std::uint32_t overlay = *m.overlayFor(a.id());
    std::optional<lc::Rect> t;
    ASSERT_TRUE(lc::test::waitUntil([&] { return (t = frameOf(*desktop, a.id())).has_value(); }, 2s));
    // The same colour as on an 8-bit screen, to the last bit the 10-bit channels keep.
    auto near = [](std::uint32_t got, std::uint32_t want) {
        for (int shift : {0, 8, 16})
            if (std::abs(int((got >> shift) & 0xff) - int((want >> shift) & 0xff)) > 1) return false;
        return true;
    };
    std::uint32_t ring = 0;
    EXPECT_TRUE(lc::test::waitUntil(
        [&] {
            const std::uint32_t ids[] = {a.id(), overlay};
            auto shot = desktop->screenshotDisplay(0, ids);
            if (!shot) return false;
            const std::uint8_t* p = shot.value()->row(int(t->y) - 2) + int(t->midX()) * 4;
            ring = std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0];
            return near(ring, 0xff1f1f);
        },
        2s))
        << std::hex << ring;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
