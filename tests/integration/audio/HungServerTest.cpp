// A sound server that accepts connections and never answers: the model's microphone (devices,
// authorization, starting, the permission checks) must keep the main thread free meanwhile.
#include "TestSupport.h"
#include "common/Clock.h"
#include "model/app/Microphone.h"
#include "model/app/Settings.h"

#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <gtest/gtest.h>
#include <thread>

using namespace lc;
using namespace lc::test;
using namespace std::chrono_literals;

TEST(HungSoundServer, TheMainThreadNeverWaitsForIt) {
    LC_REQUIRE_TEST_ENV();
    const QString hung = hungSoundServer();
    ASSERT_FALSE(hung.isEmpty());
    qputenv("PULSE_SERVER", hung.toUtf8()); // this test program talks to no other server

    // The longest time between two turns of the main loop.
    double last = uptime(), longest = 0;
    QTimer beat;
    beat.setInterval(5);
    QObject::connect(&beat, &QTimer::timeout, [&] {
        const double now = uptime();
        longest = std::max(longest, now - last);
        last = now;
    });
    beat.start();
    const StallMeter load;

    Settings settings({}, true);
    settings.setLoaded();
    std::optional<QString> notice;
    Microphone mic(systemAudio(), createMovieWriter, settings,
                   [&](const std::optional<QString>& t) { notice = t; });

    // Every way the model reaches the sound server. A single one that waited would wait at least
    // a second: that is how long the shortest of them gives a server to answer.
    const double t0 = uptime();
    settings.setMicEnabled(true);
    mic.loadMicDevices();
    mic.recheckAuthorization();
    mic.requestAccess(true);
    settings.setMicDeviceID(QString("elsewhere"));
    const double calls = uptime() - t0;
    last = uptime();
    waitUntil([] { return false; }, 2500ms);

    const double stall = load.longest();

    std::printf(
        "hung sound server: the calls took %.1f ms, longest main-loop gap %.1f ms (any thread: %.1f ms)\n",
        calls * 1000, longest * 1000, stall * 1000);
    // A call that waited would wait a second more than the load stalls any thread.
    EXPECT_LT(calls, 0.9 + stall);
    EXPECT_LT(longest, 0.9 + stall);
    EXPECT_FALSE(mic.monitor().isRunning());
    EXPECT_TRUE(settings.micEnabled()) << "the switch stays as the user set it";
    beat.stop();
    settings.setMicEnabled(false);
    qunsetenv("PULSE_SERVER");
}
