// The back end's xcb layer on a real X server: replies carry the server's error, requests can be
// collected in any order or dropped without disturbing the others, and the shared window-tree
// queries find frames and processes.
#include "platform/x11/Xcb.h"
#include "X11TestSupport.h"
#include "platform/x11/DisplayConnection.h"

using namespace std::chrono_literals;
using lc::test::TestWindow;
using namespace lc::x11;

namespace {

class Xcb : public lc::test::DesktopSuite<Xcb> {
protected:
    // A window id the server knew and has forgotten.
    static xcb_window_t goneWindow(const Connection& conn) {
        xcb_connection_t* c = conn.get();
        const xcb_window_t w = xcb_generate_id(c);
        xcb_create_window(c, XCB_COPY_FROM_PARENT, w, conn.root(), 0, 0, 10, 10, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
        xcb_destroy_window(c, w);
        EXPECT_TRUE(sync(c));
        return w;
    }
};

TEST_F(Xcb, FailedRequestsCarryTheServersError) {
    Connection conn{std::string{}};
    ASSERT_TRUE(conn.ok());
    xcb_connection_t* c = conn.get();
    const xcb_window_t gone = goneWindow(conn);

    const auto attrs = requestAttributes(c, gone).take();
    ASSERT_FALSE(attrs.ok());
    EXPECT_EQ(attrs.error().domain, "X11");
    EXPECT_EQ(attrs.error().code, XCB_WINDOW);
    EXPECT_NE(attrs.error().message.find("X error 3"), std::string::npos) << attrs.error().message;
    EXPECT_EQ(attrs.get(), nullptr);

    const auto geo = requestGeometry(c, gone).take();
    ASSERT_FALSE(geo.ok());
    EXPECT_EQ(geo.error().code, XCB_DRAWABLE);

    const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    const auto refused = check(c, xcb_change_window_attributes_checked(c, gone, XCB_CW_EVENT_MASK, &mask));
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().code, XCB_WINDOW);
    EXPECT_TRUE(
        check(c, xcb_change_window_attributes_checked(c, conn.root(), XCB_CW_EVENT_MASK, &mask)).ok());

    // A missing property and a property of a missing window both read as absent.
    EXPECT_FALSE(readProperty(c, conn.root(), XCB_ATOM_WM_ICON_NAME).has_value());
    EXPECT_FALSE(readProperty(c, gone, XCB_ATOM_WM_NAME).has_value());
    EXPECT_TRUE(conn.ok());
}

TEST_F(Xcb, RequestsAreCollectedInAnyOrderOrDropped) {
    Connection conn{std::string{}};
    ASSERT_TRUE(conn.ok());
    xcb_connection_t* c = conn.get();
    const int width = conn.screen()->width_in_pixels;

    auto tree = requestTree(c, conn.root());
    auto geo = requestGeometry(c, conn.root());
    for (int i = 0; i < 100; ++i)
        [[maybe_unused]] auto dropped = requestGeometry(c, conn.root());
    auto again = requestGeometry(c, conn.root());

    const auto g = geo.take();
    ASSERT_TRUE(g.ok()) << g.error().message;
    EXPECT_EQ(g->width, width);
    const auto t = tree.take();
    ASSERT_TRUE(t.ok()) << t.error().message;
    EXPECT_EQ(t->root, conn.root());
    EXPECT_EQ(again.take()->width, width);

    const auto twice = geo.take();
    ASSERT_FALSE(twice.ok());
    EXPECT_EQ(twice.error().message, "The reply was already collected");

    // Moving a request hands its reply over; the moved-from one collects nothing.
    auto first = requestGeometry(c, conn.root());
    auto moved = std::move(first);
    EXPECT_FALSE(first.take().ok());
    EXPECT_EQ(moved.take()->width, width);
    EXPECT_TRUE(sync(c));
}

TEST(XcbConnection, ALostConnectionIsTheCauseOfAMissingReply) {
    Connection conn{":1999"};
    EXPECT_FALSE(conn.ok());
    const auto r = requestGeometry(conn.get(), 1).take();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, "The connection to the X server was lost");
    EXPECT_EQ(r.error().domain, "X11");
    EXPECT_NE(r.error().code, 0);
    EXPECT_FALSE(readProperty(conn.get(), 1, XCB_ATOM_WM_NAME).has_value());
}

TEST_F(Xcb, WindowTreeQueriesFindFramesAndProcesses) {
    TestWindow plain({"--title", "Plain", "--size", "200x100"});
    TestWindow legacy({"--title", "Legacy", "--no-pid", "--size", "200x100"});
    ASSERT_TRUE(plain.ok() && legacy.ok());
    auto opened = DisplayConnection::open({});
    ASSERT_TRUE(opened.ok()) << opened.error().message;
    DisplayConnection& d = *opened.value();
    EXPECT_TRUE(d.wmRunning());

    // The window manager's frame holds the window once it manages it; a gone window has none.
    Connection conn{std::string{}};
    const xcb_window_t gone = goneWindow(conn);
    ASSERT_TRUE(lc::test::waitUntil(
        [&] {
            const auto tops = d.topLevels({plain.id()});
            return tops.count(plain.id()) && tops.at(plain.id()) != plain.id();
        },
        5s));
    const auto tops = d.topLevels({plain.id(), gone});
    EXPECT_EQ(tops.count(gone), 0u);
    const auto children = d.rootChildren();
    EXPECT_NE(std::find(children.begin(), children.end(), tops.at(plain.id())), children.end());

    // With _NET_WM_PID and, for a client that sets none, through X-Resource.
    EXPECT_EQ(d.pidOf(plain.id()), std::int32_t(plain.pid()));
    EXPECT_EQ(d.pidOf(legacy.id()), std::int32_t(legacy.pid()));
    d.drain();
    EXPECT_TRUE(d.ok());
}

} // namespace
