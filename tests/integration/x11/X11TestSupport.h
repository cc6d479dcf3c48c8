#pragma once
// Helpers for the X11 back-end tests: a private X display per test program (so that focus and
// stacking checks never race other programs' windows) and test-window processes.
#include "TestSupport.h"
#include "platform/x11/X11Desktop.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdint>
#include <memory>
#include <optional>

namespace lc::test {

// Xvfb (+ openbox unless "--no-wm") started through scripts/test-env; DISPLAY points at it
// while it lives.
class PrivateDisplay {
public:
    explicit PrivateDisplay(QStringList options = {"--no-pulse"});
    ~PrivateDisplay();
    PrivateDisplay(const PrivateDisplay&) = delete;
    PrivateDisplay& operator=(const PrivateDisplay&) = delete;

    bool ok() const { return !display_.isEmpty(); }
    QString display() const { return display_; }
    QString error() const { return error_; }
    // Ends the X server now (tests of a dying server).
    void stop();

private:
    QTemporaryDir dir_;
    QString display_;
    QString previous_;
    QString error_;
    bool stopped_ = false;
};

// A private display of 10 bits a channel (depth 30, no sound) and a desktop connected to it.
struct DeepColourDesktop {
    DeepColourDesktop() {
        if (!display.ok()) return;
        if (auto d = x11::X11Desktop::connect()) desktop = d.value();
    }
    bool ok() const { return desktop != nullptr; }

    PrivateDisplay display{QStringList{"--no-pulse", "--screen", "1280x720x30"}};
    std::shared_ptr<x11::X11Desktop> desktop;
};

// One test-window process; terminated when destroyed.
class TestWindow {
public:
    explicit TestWindow(const QStringList& args);
    ~TestWindow();
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;

    bool ok() const { return id_ != 0; }
    std::uint32_t id() const { return id_; }
    qint64 pid() const { return process_.processId(); }
    bool running() const { return process_.state() == QProcess::Running; }
    // SIGTERM, then waits for the end.
    void terminate();
    QString idText() const { return QString::number(id_); }

private:
    QProcess process_;
    std::uint32_t id_ = 0;
};

// One private display and one desktop connection for all tests of a suite. `Suite` (the derived
// fixture) only keeps each suite's display apart from the others in the same program.
template <class Suite> class DesktopSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!haveTestEnv()) return;
        display_ = std::make_unique<PrivateDisplay>();
        if (!display_->ok()) return;
        if (auto d = x11::X11Desktop::connect()) desktop_ = d.value();
    }
    static void TearDownTestSuite() {
        desktop_.reset();
        display_.reset();
    }
    void SetUp() override {
        LC_REQUIRE_TEST_ENV();
        ASSERT_TRUE(display_ && display_->ok()) << (display_ ? display_->error().toStdString() : "");
        ASSERT_TRUE(desktop_);
    }

    static inline std::unique_ptr<PrivateDisplay> display_;
    static inline std::shared_ptr<x11::X11Desktop> desktop_;
};

// Runs a command with the current DISPLAY; its standard output.
QString x(const QString& program, const QStringList& args);

// Types a key combination ("ctrl+alt+r") as a user would, from another client: xdotool's exit
// status (0: typed).
int typeKeys(const QString& keys);

// The client area of a window from xwininfo: x, y, width, height.
struct Geometry {
    int x = 0, y = 0, width = 0, height = 0;
};
std::optional<Geometry> clientGeometry(std::uint32_t window);

// The environment of a program run for a user whose home is `home`: HOME, XDG_CONFIG_HOME and
// XDG_DATA_HOME under it, the rest as ours.
QProcessEnvironment homeEnvironment(const QString& home);

// Starts trayer at the top of the screen; true once its panel is there to dock in.
bool startTray(QProcess& tray);

// Ends a child program if it still runs: SIGTERM, then SIGKILL when it lingers.
void endProcess(QProcess& process);

} // namespace lc::test
