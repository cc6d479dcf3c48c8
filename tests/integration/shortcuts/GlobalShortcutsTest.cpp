#include "../x11/X11TestSupport.h"
#include "platform/x11/X11GlobalShortcuts.h"

#include <QProcess>
#include <gtest/gtest.h>
#include <vector>

namespace lc::test {
namespace {

using namespace std::chrono_literals;

class GlobalShortcutsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (haveTestEnv()) display_ = std::make_unique<PrivateDisplay>(QStringList{"--no-pulse", "--no-wm"});
    }
    static void TearDownTestSuite() { display_.reset(); }
    void SetUp() override {
        LC_REQUIRE_TEST_ENV();
        ASSERT_TRUE(display_ && display_->ok()) << (display_ ? display_->error().toStdString() : "");
        auto made = x11::X11GlobalShortcuts::connect();
        ASSERT_TRUE(made.ok()) << made.error().message;
        shortcuts_ = std::move(made.value());
        shortcuts_->setHandler([this](ShortcutAction action) { pressed_.push_back(action); });
    }

    // Types a key combination as a user would, from another client.
    static void press(const QString& keys) { ASSERT_EQ(typeKeys(keys), 0) << keys.toStdString(); }
    bool waitForPresses(std::size_t count) {
        return waitUntil([&] { return pressed_.size() >= count; }, 10s);
    }

    static inline std::unique_ptr<PrivateDisplay> display_;
    std::unique_ptr<x11::X11GlobalShortcuts> shortcuts_;
    std::vector<ShortcutAction> pressed_;
};

TEST_F(GlobalShortcutsTest, BoundCombinationsFireWithAndWithoutCapsLockAndNumLock) {
    ASSERT_TRUE(shortcuts_->bind(ShortcutAction::startStop, Shortcut::parse("Ctrl+Alt+R")).ok());
    ASSERT_TRUE(shortcuts_->bind(ShortcutAction::pauseResume, Shortcut::parse("Ctrl+Alt+P")).ok());

    press(QStringLiteral("ctrl+alt+r"));
    ASSERT_TRUE(waitForPresses(1));
    press(QStringLiteral("ctrl+alt+p"));
    ASSERT_TRUE(waitForPresses(2));

    press(QStringLiteral("Caps_Lock"));
    press(QStringLiteral("ctrl+alt+r"));
    ASSERT_TRUE(waitForPresses(3));
    press(QStringLiteral("Num_Lock"));
    press(QStringLiteral("ctrl+alt+p"));
    ASSERT_TRUE(waitForPresses(4));
    press(QStringLiteral("Caps_Lock"));
    press(QStringLiteral("ctrl+alt+r"));
    ASSERT_TRUE(waitForPresses(5));
    press(QStringLiteral("Num_Lock"));

    // Another combination on the same key is not ours: it marks the end of what we received.
    press(QStringLiteral("ctrl+r"));
    press(QStringLiteral("ctrl+alt+p"));
    ASSERT_TRUE(waitForPresses(6));
    EXPECT_EQ(pressed_,
              (std::vector<ShortcutAction>{ShortcutAction::startStop, ShortcutAction::pauseResume,
                                           ShortcutAction::startStop, ShortcutAction::pauseResume,
                                           ShortcutAction::startStop, ShortcutAction::pauseResume}));
}

TEST_F(GlobalShortcutsTest, ACombinationAnotherProgramHoldsIsReportedAndFreedOnRelease) {
    auto other = x11::X11GlobalShortcuts::connect();
    ASSERT_TRUE(other.ok());
    ASSERT_TRUE(other.value()->bind(ShortcutAction::startStop, Shortcut::parse("Ctrl+Alt+P")).ok());

    const auto refused = shortcuts_->bind(ShortcutAction::pauseResume, Shortcut::parse("Ctrl+Alt+P"));
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().message, "Ctrl+Alt+P is used by another program");

    // Released by the other program (here: it quits), the combination can be ours.
    other.value().reset();
    ASSERT_TRUE(shortcuts_->bind(ShortcutAction::pauseResume, Shortcut::parse("Ctrl+Alt+P")).ok());
    // And ours is released again by binding nothing, so the other program can take it back.
    ASSERT_TRUE(shortcuts_->bind(ShortcutAction::pauseResume, std::nullopt).ok());
    auto again = x11::X11GlobalShortcuts::connect();
    ASSERT_TRUE(again.ok());
    EXPECT_TRUE(again.value()->bind(ShortcutAction::startStop, Shortcut::parse("Ctrl+Alt+P")).ok());
}

TEST_F(GlobalShortcutsTest, ChangingAShortcutTakesEffectAtOnce) {
    ASSERT_TRUE(shortcuts_->bind(ShortcutAction::startStop, Shortcut::parse("Ctrl+Alt+R")).ok());
    ASSERT_TRUE(shortcuts_->bind(ShortcutAction::startStop, Shortcut::parse("Super+F9")).ok());
    // The old combination is free again for anyone.
    auto other = x11::X11GlobalShortcuts::connect();
    ASSERT_TRUE(other.ok());
    EXPECT_TRUE(other.value()->bind(ShortcutAction::startStop, Shortcut::parse("Ctrl+Alt+R")).ok());

    press(QStringLiteral("super+F9"));
    ASSERT_TRUE(waitForPresses(1));
    EXPECT_EQ(pressed_.front(), ShortcutAction::startStop);

    const auto twice = shortcuts_->bind(ShortcutAction::pauseResume, Shortcut::parse("Super+F9"));
    EXPECT_FALSE(twice.ok());
}

} // namespace
} // namespace lc::test
