// The real X11 shortcuts in the real model: keys typed from another client start, pause, resume
// and stop a session; a combination changed in the settings is the one that works at once.
#include "../x11/X11TestSupport.h"
#include "Fakes.h"
#include "model/Store.h"
#include "platform/x11/X11GlobalShortcuts.h"

#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace lc::test {
namespace {

using namespace std::chrono_literals;

void press(const QString& keys) {
    ASSERT_EQ(typeKeys(keys), 0) << keys.toStdString();
}

TEST(ShortcutSession, TypedCombinationsDriveTheSessionAndFollowTheSettings) {
    LC_REQUIRE_TEST_ENV();
    PrivateDisplay display(QStringList{"--no-pulse", "--no-wm"});
    ASSERT_TRUE(display.ok()) << display.error().toStdString();
    QTemporaryDir state, movies;
    Store::setBaseDirOverride(state.path());
    auto made = x11::X11GlobalShortcuts::connect();
    ASSERT_TRUE(made.ok()) << made.error().message;

    auto desktop = std::make_shared<fake::Desktop>();
    std::map<std::uint32_t, fake::RecorderPlan> plans;
    std::unique_ptr<AppModel> model;
    AppServices s =
        fake::services(desktop, std::make_shared<fake::Audio>(), std::make_shared<fake::Actions>(),
                       QDir(movies.path()).filePath("Loomcast"));
    s.shortcuts = std::shared_ptr<GlobalShortcuts>(std::move(made.value()));
    s.makeRecorder = [&]() -> std::shared_ptr<SessionRecorder> {
        return std::make_shared<fake::Recorder>(model.get(), &plans);
    };
    model = std::make_unique<AppModel>(std::move(s));
    SessionController& session = model->session();
    EXPECT_FALSE(model->shortcuts().error(ShortcutAction::startStop));
    desktop->setWindows({fake::window(11, "Editor", "Notes", 101)});
    QCoro::waitFor(model->windows().refresh(false));
    model->add(model->windows().live().front());

    press("ctrl+alt+r");
    ASSERT_TRUE(waitUntil([&] { return session.isRecording() && session.recorderCount() == 1; }, 10s));
    press("ctrl+alt+p");
    ASSERT_TRUE(waitUntil([&] { return session.isPaused(); }, 10s));
    press("ctrl+alt+p");
    ASSERT_TRUE(waitUntil([&] { return !session.isPaused(); }, 10s));

    // Changed in the settings: the old combination is nothing to us any more, the new one works.
    model->settings().setShortcutStartStop("Super+F9");
    press("ctrl+alt+r");
    press("ctrl+alt+p"); // still pause: marks that the first press has been handled
    ASSERT_TRUE(waitUntil([&] { return session.isPaused(); }, 10s));
    EXPECT_TRUE(session.isRecording());
    press("super+F9");
    ASSERT_TRUE(waitUntil([&] { return !session.isRecording() && !session.busy(); }, 10s));
    EXPECT_FALSE(session.isPaused()) << "stopped while paused";
    EXPECT_EQ(session.pauses().spans().size(), 2u);

    model.reset();
    Store::setBaseDirOverride(std::nullopt);
}

} // namespace
} // namespace lc::test
