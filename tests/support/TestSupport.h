#pragma once
// Small helpers shared by the tests: the test environment, child programs, polling.
#include <QString>
#include <QStringList>
#include <atomic>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace lc::test {

// True when scripts/test-env provided an X display and a PulseAudio server.
bool haveTestEnv();

// The sound server scripts/test-env runs: "pulseaudio" or "pipewire" (its pulse server); "" without.
QString soundServerName();

// The test environment's sound server killed as a crash would kill it, for as long as the object
// lives: started again with the same socket and devices when it goes, also when an assertion
// leaves early. The server is shared by every test of the run, so only RUN_SERIAL tests use it.
class SoundServerOutage {
public:
    SoundServerOutage();
    ~SoundServerOutage();
    SoundServerOutage(const SoundServerOutage&) = delete;
    SoundServerOutage& operator=(const SoundServerOutage&) = delete;

    // The kill worked (false outside the test environment; the reason went to stderr).
    bool active() const { return active_; }
    // Starts the server now; returns once its devices are listed. False (reason on stderr) if not.
    bool end();

private:
    bool active_ = false;
};

// A PULSE_SERVER value whose socket accepts connections and never answers: a hung sound server
// ("" outside the test environment).
QString hungSoundServer();

// Runs a program to its end and returns its standard output ("" on failure).
QString run(const QString& program, const QStringList& args, int timeoutMs = 10000);

// Polls `done` every 20 ms (processing Qt events when an application object exists) until it
// holds or `timeout` passes, but never gives up before kWaitFloor: only for conditions that are
// expected to come true. To check that something does NOT happen, wait for a state in which it
// cannot happen by a clock's race instead.
inline constexpr std::chrono::milliseconds kWaitFloor{20000};
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

// While it lives, a thread of its own notes how late its 5 ms sleeps come back: how long this
// machine's load alone stalls anyone, so that a test can tell its code's delays from the load's.
class StallMeter {
public:
    StallMeter();
    ~StallMeter();
    StallMeter(const StallMeter&) = delete;
    StallMeter& operator=(const StallMeter&) = delete;
    // The longest stall so far, seconds (a sleep's overshoot beyond its 5 ms).
    double longest() const { return longest_.load(); }

private:
    std::atomic<bool> stop_{false};
    std::atomic<double> longest_{0};
    std::thread thread_;
};

// Path of a helper program built under tests/tools.
QString toolPath(const QString& name);

// Runs `body` in a child process with its own mount namespace and a tmpfs mounted at `dir` with
// `mountOptions` (for example "size=300k"): a disk that fills up, for this test alone. The result
// is body's return value (the number of failed checks), or 99 when no namespace can be made here.
// Without root the child makes a user namespace of its own, where it may mount.
int inSmallFilesystem(const std::string& dir, const char* mountOptions, const std::function<int()>& body);

// A tmpfs of `mountOptions` mounted at `dir` for as long as the object lives, seen by every
// process (programs the test starts included): a disk that fills up under a real program. Needs
// the right to mount: root, or a test run inside `unshare -rm`; ok() is false otherwise.
class SmallFilesystem {
public:
    SmallFilesystem(const QString& dir, const QString& mountOptions);
    ~SmallFilesystem();
    SmallFilesystem(const SmallFilesystem&) = delete;
    SmallFilesystem& operator=(const SmallFilesystem&) = delete;

    bool ok() const { return mounted_; }
    // Bytes free for an unprivileged writer.
    qint64 freeBytes() const;
    // Takes all free space but `keep` bytes with a file of that name; false when it cannot.
    bool fillUpTo(const QString& file, qint64 keep) const;

private:
    QString dir_;
    bool mounted_ = false;
};

// The keys of every object of a pretty-printed JSON text in file order, one list per object in
// the order the objects open (key order is what QJsonDocument cannot show).
std::vector<QStringList> objectKeys(const QByteArray& json);

} // namespace lc::test

#define LC_REQUIRE_TEST_ENV()                                                                                \
    do {                                                                                                     \
        if (!::lc::test::haveTestEnv()) GTEST_SKIP() << "needs scripts/test-env (X and PulseAudio)";         \
    } while (0)
