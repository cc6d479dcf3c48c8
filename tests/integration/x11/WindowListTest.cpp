// The window list, screens, frontmost application, activations and on-screen order on a real X
// server with openbox.
#include "X11TestSupport.h"
#include "platform/x11/X11Desktop.h"
#include "windows/WindowResizer.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <atomic>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;
using lc::test::TestWindow;

namespace {

const lc::ShareableWindow* find(const lc::ShareableContent& c, std::uint32_t id) {
    for (const auto& w : c.windows)
        if (w.windowID == id) return &w;
    return nullptr;
}

bool validUtf8(const std::string& s) {
    return QString::fromUtf8(s.data(), qsizetype(s.size())).toUtf8() == QByteArray::fromStdString(s);
}

class WindowList : public lc::test::DesktopSuite<WindowList> {
protected:
    static void SetUpTestSuite() {
        if (!lc::test::haveTestEnv()) return;
        // A .desktop file that names an application by its StartupWMClass.
        QDir(dataHome_.path()).mkpath("applications");
        QFile f(dataHome_.path() + "/applications/beta-studio.desktop");
        if (f.open(QIODevice::WriteOnly))
            f.write(
                "[Desktop Entry]\nType=Application\nName=Beta Studio\nStartupWMClass=BetaApp\nExec=true\n");
        f.close();
        qputenv("XDG_DATA_HOME", dataHome_.path().toUtf8());
        DesktopSuite::SetUpTestSuite();
    }

    static inline QTemporaryDir dataHome_;
};

TEST_F(WindowList, FieldsOfEveryKindOfWindow) {
    TestWindow plain(
        {"--title", "Alpha One", "--class", "AlphaApp", "--size", "400x300", "--pos", "100,100"});
    TestWindow legacy({"--title", "Legacy", "--class", "Legacy", "--no-pid", "--size", "300x200"});
    TestWindow named({"--title", "Beta", "--class", "BetaApp", "--size", "300x200"});
    TestWindow tiny({"--title", "Tiny", "--size", "119x80"});
    TestWindow dock({"--title", "Dock", "--type", "dock", "--size", "300x40"});
    TestWindow above({"--title", "Floating", "--above", "--size", "300x200"});
    TestWindow desk({"--title", "Desktop", "--type", "desktop", "--size", "300x200"});
    TestWindow latin({"--title", "Café crème", "--raw-wm-name", "--size", "300x200"});
    TestWindow untitled({"--title", "", "--size", "300x200"});
    TestWindow huge({"--title", QString(100000, QChar('x')), "--size", "300x200"});
    TestWindow hidden({"--title", "Hidden", "--size", "300x200"});
    for (auto* w : {&plain, &legacy, &named, &tiny, &dock, &above, &desk, &latin, &untitled, &huge, &hidden})
        ASSERT_TRUE(w->ok());
    lc::test::x("xdotool", {"windowminimize", "--sync", hidden.idText()});
    std::this_thread::sleep_for(300ms);

    auto content = desktop_->shareableContent();
    ASSERT_TRUE(content.ok());
    const auto& c = content.value();

    const auto* p = find(c, plain.id());
    ASSERT_TRUE(p);
    const auto g = lc::test::clientGeometry(plain.id());
    ASSERT_TRUE(g);
    EXPECT_EQ(p->frame, (lc::Rect{double(g->x), double(g->y), 400, 300})) << "the frame is the client area";
    EXPECT_GT(p->frame.y, 100) << "decorations are not part of the frame";
    EXPECT_EQ(p->title, "Alpha One");
    EXPECT_EQ(p->windowLayer, 0);
    EXPECT_TRUE(p->isOnScreen);
    ASSERT_TRUE(p->owningApplication);
    EXPECT_EQ(p->owningApplication->processID, plain.pid());
    EXPECT_EQ(p->owningApplication->bundleIdentifier, "AlphaApp");
    EXPECT_EQ(p->owningApplication->applicationName, "AlphaApp");

    const auto* l = find(c, legacy.id());
    ASSERT_TRUE(l && l->owningApplication);
    EXPECT_EQ(l->owningApplication->processID, legacy.pid()) << "the process of a window without _NET_WM_PID";

    const auto* n = find(c, named.id());
    ASSERT_TRUE(n && n->owningApplication);
    EXPECT_EQ(n->owningApplication->applicationName, "Beta Studio");
    EXPECT_EQ(n->owningApplication->bundleIdentifier, "BetaApp");

    const auto* t = find(c, tiny.id());
    ASSERT_TRUE(t) << "small windows are listed; the catalogue leaves them out by their frame";
    EXPECT_EQ(t->frame.width, 119);

    const auto* d = find(c, dock.id());
    ASSERT_TRUE(d);
    EXPECT_NE(d->windowLayer, 0);
    const auto* a = find(c, above.id());
    ASSERT_TRUE(a);
    EXPECT_NE(a->windowLayer, 0);
    EXPECT_FALSE(find(c, desk.id())) << "desktop windows are never listed";

    const auto* lt = find(c, latin.id());
    ASSERT_TRUE(lt);
    EXPECT_EQ(lt->title, "Café crème") << "a Latin-1 WM_NAME becomes UTF-8";
    const auto* u = find(c, untitled.id());
    ASSERT_TRUE(u);
    EXPECT_EQ(u->title.value_or("?"), "");
    const auto* h = find(c, huge.id());
    ASSERT_TRUE(h && h->title);
    EXPECT_LE(h->title->size(), 4096u);
    EXPECT_GE(h->title->size(), 1000u);
    for (const auto& w : c.windows)
        if (w.title) {
            EXPECT_TRUE(validUtf8(*w.title)) << w.windowID;
        }

    EXPECT_FALSE(find(c, hidden.id())) << "minimised windows are not on screen";
    auto all = desktop_->shareableContent(false);
    ASSERT_TRUE(all.ok());
    const auto* hid = find(all.value(), hidden.id());
    ASSERT_TRUE(hid);
    EXPECT_FALSE(hid->isOnScreen);

    // Our own overlays carry the application's class, so the catalogue can leave them out.
    auto overlay = desktop_->createOverlay("lc-outline");
    overlay->setFrame({10, 10, 200, 100});
    overlay->setRing({2, 2.5, 24, {0.6, 0.6, 0.6, 0.55}});
    overlay->show();
    auto withOverlay = desktop_->shareableContent();
    ASSERT_TRUE(withOverlay.ok());
    const auto* o = find(withOverlay.value(), overlay->windowID());
    ASSERT_TRUE(o);
    EXPECT_EQ(o->title, "lc-outline");
    EXPECT_NE(o->windowLayer, 0);
    ASSERT_TRUE(o->owningApplication);
    EXPECT_EQ(o->owningApplication->bundleIdentifier, "Loomcast");
    EXPECT_EQ(o->owningApplication->processID, getpid());

    ASSERT_EQ(c.displays.size(), 1u);
    EXPECT_EQ(c.displays[0].frame, (lc::Rect{0, 0, 1920, 1080}));
}

TEST_F(WindowList, ScreensHaveTheirVisibleFrames) {
    const auto screens = desktop_->screens();
    ASSERT_EQ(screens.size(), 1u);
    EXPECT_TRUE(screens[0].isPrimary);
    EXPECT_EQ(screens[0].frame, (lc::Rect{0, 0, 1920, 1080}));
    EXPECT_FALSE(screens[0].visibleFrame.isEmpty());
    EXPECT_EQ(screens[0].visibleFrame.intersected(screens[0].frame), screens[0].visibleFrame);
    EXPECT_EQ(screens[0].backingScaleFactor, 1);
}

TEST_F(WindowList, FrontmostProcessFollowsActivationAndTheOrderIsFrontToBack) {
    TestWindow a({"--title", "Front A", "--size", "300x200", "--pos", "100,100"});
    TestWindow b({"--title", "Front B", "--size", "300x200", "--pos", "200,150"});
    ASSERT_TRUE(a.ok() && b.ok());

    std::mutex m;
    std::vector<std::int32_t> seen;
    auto sub = desktop_->observeActivations([&](std::int32_t pid) {
        std::lock_guard lock(m);
        seen.push_back(pid);
    });
    auto sawPid = [&](qint64 pid) {
        std::lock_guard lock(m);
        return !seen.empty() && seen.back() == pid;
    };
    auto indexOf = [](const std::vector<lc::OnScreenWindow>& order, std::uint32_t id) {
        for (std::size_t i = 0; i < order.size(); ++i)
            if (order[i].windowID == id) return long(i);
        return -1L;
    };

    lc::test::x("xdotool", {"windowactivate", "--sync", a.idText()});
    EXPECT_TRUE(lc::test::waitUntil([&] { return desktop_->frontmostProcess() == a.pid(); }, 2s));
    EXPECT_TRUE(lc::test::waitUntil([&] { return sawPid(a.pid()); }, 2s))
        << "no activation notification for A";
    auto order = desktop_->onScreenWindows();
    EXPECT_GE(indexOf(order, a.id()), 0);
    EXPECT_LT(indexOf(order, a.id()), indexOf(order, b.id())) << "A was raised and is in front";

    lc::test::x("xdotool", {"windowactivate", "--sync", b.idText()});
    EXPECT_TRUE(lc::test::waitUntil([&] { return desktop_->frontmostProcess() == b.pid(); }, 2s));
    EXPECT_TRUE(lc::test::waitUntil([&] { return sawPid(b.pid()); }, 2s))
        << "no activation notification for B";
    order = desktop_->onScreenWindows();
    EXPECT_LT(indexOf(order, b.id()), indexOf(order, a.id()));
    const auto g = lc::test::clientGeometry(b.id());
    ASSERT_TRUE(g);
    EXPECT_EQ(order[std::size_t(indexOf(order, b.id()))].frame,
              (lc::Rect{double(g->x), double(g->y), 300, 200}));

    // Nothing active: no frontmost process.
    b.terminate();
    a.terminate();
    EXPECT_TRUE(lc::test::waitUntil([&] { return !desktop_->frontmostProcess(); }, 2s));
}

TEST_F(WindowList, WindowsThatVanishAnswerNothing) {
    std::uint32_t id = 0;
    {
        TestWindow w({"--title", "Vanishing"});
        ASSERT_TRUE(w.ok());
        id = w.id();
    }
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(desktop_->title(id));
    EXPECT_FALSE(desktop_->position(id));
    EXPECT_FALSE(desktop_->size(id));
    EXPECT_FALSE(desktop_->isFullScreen(id));
    const lc::ShareableWindow gone{id, {0, 0, 100, 100}, "Vanishing", 0, true, std::nullopt};
    EXPECT_EQ(desktop_->contentInfo(gone).contentRect.width, 0);
}

TEST(WindowListWithoutWindowManager, ControlIsOffWhileListingAndCaptureStillWork) {
    LC_REQUIRE_TEST_ENV();
    lc::test::PrivateDisplay display({"--no-wm", "--no-pulse"});
    ASSERT_TRUE(display.ok()) << display.error().toStdString();
    auto desktop = lc::x11::X11Desktop::connect();
    ASSERT_TRUE(desktop.ok());
    TestWindow w({"--title", "Unmanaged", "--size", "320x200", "--pos", "50,60"});
    ASSERT_TRUE(w.ok());
    EXPECT_FALSE(desktop.value()->isTrusted());
    EXPECT_FALSE(desktop.value()->windowsOf(std::int32_t(w.pid())).ok());

    auto content = desktop.value()->shareableContent();
    ASSERT_TRUE(content.ok());
    const auto* listed = find(content.value(), w.id());
    ASSERT_TRUE(listed) << "without a window manager the top-level windows are listed";
    EXPECT_EQ(listed->frame, (lc::Rect{50, 60, 320, 200}));
    EXPECT_EQ(listed->title, "Unmanaged");
    const auto r = lc::WindowResizer::resize({*desktop.value(), *desktop.value()}, *listed, 1920, 1080);
    EXPECT_EQ(r.warning, "Window control off: not resized");
    EXPECT_EQ(r.pointSize, (lc::Size{320, 200}));

    std::atomic<int> frames{0};
    auto stream = desktop.value()->createStream(w.id(), {}, {[&](lc::BgraFramePtr) { ++frames; }, nullptr});
    ASSERT_TRUE(stream.ok());
    ASSERT_TRUE(stream.value()->start().ok());
    EXPECT_TRUE(lc::test::waitUntil([&] { return frames >= 1; }, 2s));
    stream.value()->stop();
}

} // namespace
