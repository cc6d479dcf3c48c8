// The test environment itself: a managed X display and a PulseAudio server with the test devices.
#include "TestSupport.h"

#include <QProcess>
#include <chrono>

using namespace std::chrono_literals;
using lc::test::run;

TEST(TestEnvironment, WindowManagerListsANewWindowAndPulseHasTheTestMicrophone) {
    LC_REQUIRE_TEST_ENV();

    QProcess window;
    window.start("xmessage", {"-title", "loomcast-env-probe", "probe"});
    ASSERT_TRUE(window.waitForStarted());
    const bool listed =
        lc::test::waitUntil([] { return run("wmctrl", {"-l"}).contains("loomcast-env-probe"); }, 5s);
    window.kill();
    window.waitForFinished();
    EXPECT_TRUE(listed) << "openbox did not manage the window";

    const QString info = run("pactl", {"info"});
    EXPECT_TRUE(info.contains("Default Source: lc_mic")) << info.toStdString();
    EXPECT_TRUE(info.contains("Default Sink: lc_speakers")) << info.toStdString();
    EXPECT_TRUE(run("pactl", {"list", "short", "sources"}).contains("lc_mic\t"));
}
