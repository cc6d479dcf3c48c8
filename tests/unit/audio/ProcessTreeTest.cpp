// Which processes belong to an application.
#include "platform/pulse/ProcessTree.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace lc::pulse;

TEST(ProcessTree, AChildAndItsChildBelongToTheParentButNotTheOtherWayRound) {
    EXPECT_EQ(parentProcess(getpid()), getppid());
    int pipeFd[2];
    ASSERT_EQ(pipe(pipeFd), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The grandchild tells its pid, then both wait for the pipe to close.
        const pid_t grandchild = fork();
        if (grandchild == 0) {
            const pid_t me = getpid();
            (void)!write(pipeFd[1], &me, sizeof me);
            pause();
            _exit(0);
        }
        pause();
        _exit(0);
    }
    pid_t grandchild = 0;
    ASSERT_EQ(read(pipeFd[0], &grandchild, sizeof grandchild), ssize_t(sizeof grandchild));
    EXPECT_TRUE(isSameOrDescendant(child, getpid()));
    EXPECT_TRUE(isSameOrDescendant(grandchild, getpid()));
    EXPECT_TRUE(isSameOrDescendant(grandchild, child));
    EXPECT_TRUE(isSameOrDescendant(getpid(), getpid()));
    EXPECT_FALSE(isSameOrDescendant(getpid(), child));
    EXPECT_FALSE(isSameOrDescendant(child, grandchild));
    EXPECT_FALSE(isSameOrDescendant(999999999, getpid()));
    kill(grandchild, SIGKILL);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(pipeFd[0]);
    close(pipeFd[1]);
}
