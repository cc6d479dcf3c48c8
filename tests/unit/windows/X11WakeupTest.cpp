// The wake-up that ends the X back end's threads' sleep: a signal from another thread ends a
// wait without limit and stays set, and data on the connection's descriptor ends it too.
#include "platform/x11/Wakeup.h"

#include <gtest/gtest.h>

#include <thread>
#include <unistd.h>

namespace {

struct Pipe {
    lc::UniqueFd read, write;
    Pipe() {
        int fds[2] = {-1, -1};
        EXPECT_EQ(pipe(fds), 0);
        read.reset(fds[0]);
        write.reset(fds[1]);
    }
};

TEST(X11Wakeup, ASignalFromAnotherThreadEndsTheWaitAndStaysSet) {
    Pipe connection;
    lc::x11::Wakeup wake;
    std::thread other([&] { wake.signal(); });
    EXPECT_TRUE(lc::x11::waitForEvents(connection.read.get(), wake, -1));
    other.join();
    for (int i = 0; i < 3; ++i) {
        wake.signal();
        EXPECT_TRUE(lc::x11::waitForEvents(connection.read.get(), wake, -1));
    }
}

TEST(X11Wakeup, DataOnTheConnectionEndsTheWait) {
    Pipe connection;
    const lc::x11::Wakeup wake;
    EXPECT_TRUE(lc::x11::waitForEvents(connection.read.get(), wake, 0)); // nothing there: returns anyway
    ASSERT_EQ(write(connection.write.get(), "x", 1), 1);
    EXPECT_TRUE(lc::x11::waitForEvents(connection.read.get(), wake, -1));
}

} // namespace
