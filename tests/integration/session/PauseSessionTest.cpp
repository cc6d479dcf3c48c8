// A real session paused three times (Xvfb + openbox + PulseAudio, the real recorders, microphone
// and global shortcuts in the real model): a window joins during the first pause, the focus
// moves during it, and the session is stopped while paused. session.json, the files and the
// focus history all say the same session time, the pauses cut out.
#include "MediaProbe.h"
#include "TestSupport.h"
#include "X11TestSupport.h"
#include "capture/WindowRecorder.h"
#include "common/Clock.h"
#include "model/Store.h"
#include "model/app/AppModel.h"
#include "platform/Audio.h"
#include "platform/MovieWriter.h"
#include "platform/x11/X11Desktop.h"
#include "platform/x11/X11GlobalShortcuts.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <qcoro/qcorotask.h>

namespace lc::test {
namespace {

using namespace std::chrono_literals;

void press(const QString& keys) {
    ASSERT_EQ(typeKeys(keys), 0) << keys.toStdString();
}

void activate(const TestWindow& w) {
    QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("windowactivate"), w.idText()});
}

// Lets the event loop run until `seconds` of the shared clock have passed.
void runFor(double seconds) {
    const double until = uptime() + seconds;
    waitUntil([&] { return uptime() >= until; }, 60s);
}

QJsonObject recordingOf(const QJsonArray& recordings, const QString& app) {
    for (const auto& r : recordings)
        if (r.toObject()["app"].toString() == app) return r.toObject();
    return {};
}

TEST(PauseSession, ThreePausesAJoinAFocusChangeAndAStopWhilePausedAgreeEverywhere) {
    LC_REQUIRE_TEST_ENV();
    QTemporaryDir state, movies;
    Store::setBaseDirOverride(state.path());
    auto desktop = x11::X11Desktop::connect();
    ASSERT_TRUE(desktop.ok()) << desktop.error().message;
    auto keys = x11::X11GlobalShortcuts::connect();
    ASSERT_TRUE(keys.ok()) << keys.error().message;
    std::shared_ptr<x11::X11Desktop> x11 = *desktop;

    TestWindow alpha({"--title", "Alpha Window", "--class", "Alpha", "--pos", "0,0", "--size", "320x240",
                      "--animate", "--fps", "30"});
    TestWindow beta({"--title", "Beta Window", "--class", "Beta", "--pos", "400,0", "--size", "320x240",
                     "--animate", "--fps", "30"});
    TestWindow gamma({"--title", "Gamma Window", "--class", "Gamma", "--pos", "800,0", "--size", "320x240",
                      "--animate", "--fps", "30"});
    ASSERT_TRUE(alpha.ok() && beta.ok() && gamma.ok());

    const std::shared_ptr<AudioSystem> audio = systemAudio();
    RecorderServices recording;
    recording.capture = x11.get();
    recording.audio = audio;
    recording.makeWriter = [](const std::string& path, MovieFileType type) {
        return createMovieWriter(path, type, MovieWriterOptions{});
    };
    AppServices s;
    s.capture = x11;
    s.server = x11;
    s.control = x11;
    s.audio = audio;
    s.makeWriter = createMovieWriter;
    s.makeRecorder = windowRecorderFactory(std::move(recording));
    s.shortcuts = std::shared_ptr<GlobalShortcuts>(std::move(keys.value()));
    s.self = Catalogue::Self{QStringLiteral("Loomcast"), std::nullopt};
    s.sessionsRoot = QDir(movies.path()).filePath("Loomcast");
    s.refreshOnLaunch = false;
    auto model = std::make_unique<AppModel>(std::move(s));
    SessionController& session = model->session();
    ASSERT_FALSE(model->shortcuts().error(ShortcutAction::startStop))
        << model->shortcuts().error(ShortcutAction::startStop)->toStdString();
    model->settings().setFps(30);
    // Small files: three encoders on a loaded machine keep up with real time.
    model->settings().setLastPreset(Preset{QStringLiteral("Custom"), 640, 360});
    model->settings().setMicEnabled(true);
    ASSERT_TRUE(waitUntil([&] { return model->mic().monitor().isRunning(); }, 10s));

    auto live = [&](const TestWindow& w) -> std::optional<LiveWindow> {
        for (const LiveWindow& l : model->windows().live())
            if (l.id == w.id()) return l;
        return std::nullopt;
    };
    ASSERT_TRUE(waitUntil(
        [&] {
            QCoro::waitFor(model->windows().refresh(false));
            return live(alpha) && live(beta) && live(gamma);
        },
        10s));
    const QUuid a = model->add(*live(alpha));
    const QUuid b = model->add(*live(beta));
    activate(alpha);

    press("ctrl+alt+r");
    ASSERT_TRUE(waitUntil([&] { return session.recorderCount() == 2 && !session.busy(); }, 20s));
    ASSERT_TRUE(waitUntil([&] { return session.focusCurrent() == a; }, 10s));
    runFor(1.5);

    // The first pause: the focus moves and a window joins; neither shows before the resume.
    press("ctrl+alt+p");
    ASSERT_TRUE(waitUntil([&] { return session.isPaused(); }, 10s));
    const double held = session.elapsed();
    const QUuid c = model->add(*live(gamma));
    ASSERT_TRUE(waitUntil([&] { return session.hasRecorder(c); }, 20s));
    activate(beta);
    runFor(1.0);
    EXPECT_EQ(session.focusCurrent(), a) << "no focus change is taken while paused";
    EXPECT_EQ(session.elapsed(), held) << "the time stands still";
    press("ctrl+alt+p");
    ASSERT_TRUE(waitUntil([&] { return !session.isPaused(); }, 10s));
    ASSERT_TRUE(waitUntil([&] { return session.focusCurrent() == b; }, 10s));
    const double focusedBy = session.sessionTime(uptime());
    runFor(1.5);

    model->togglePause();
    runFor(1.0);
    model->togglePause();
    runFor(1.5);
    model->togglePause();
    ASSERT_TRUE(session.isPaused());
    const double lastPause = *session.pauses().pausedAt();
    runFor(1.0);
    press("ctrl+alt+r"); // stop while paused
    ASSERT_TRUE(waitUntil([&] { return !session.isRecording() && !session.busy(); }, 30s));
    EXPECT_FALSE(session.isPaused());

    for (const QUuid& id : {a, b, c}) {
        const Entry* e = model->windows().entry(id);
        ASSERT_TRUE(e);
        EXPECT_FALSE(e->failure) << e->title.toStdString() << ": " << e->failure.value_or("").toStdString();
    }
    QFile f(QDir(*session.sessionDir()).filePath("session.json"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QJsonObject doc = QJsonDocument::fromJson(f.readAll()).object();

    // The pauses in session time, each one cut from the clock of the next.
    const QJsonArray pauses = doc["pauses"].toArray();
    ASSERT_EQ(pauses.size(), 3);
    const auto& spans = session.pauses().spans();
    ASSERT_EQ(spans.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(pauses[i].toObject()["at"].toDouble(), session.sessionTime(spans[i].at), 0.001);
        EXPECT_NEAR(pauses[i].toObject()["length"].toDouble(), spans[i].length, 0.001);
        EXPECT_GE(spans[i].length, 1.0);
    }
    const double end = session.sessionTime(lastPause);
    EXPECT_NEAR(end, pauses[2].toObject()["at"].toDouble(), 0.001);

    // Every file ends at the last pause; the one that joined starts at the first resume.
    const QJsonArray recordings = doc["recordings"].toArray();
    ASSERT_EQ(recordings.size(), 3);
    const QDir folder(*session.sessionDir());
    for (const QString app : {"Alpha", "Beta", "Gamma"}) {
        const QJsonObject r = recordingOf(recordings, app);
        ASSERT_FALSE(r.isEmpty()) << app.toStdString();
        const double offset = r["startOffset"].toDouble(), duration = r["duration"].toDouble();
        EXPECT_NEAR(offset + duration, end, 0.1) << app.toStdString();
        const ProbedFile probed = probeFile(folder.filePath(r["file"].toString()).toStdString());
        ASSERT_TRUE(probed.opened) << probed.error;
        ASSERT_TRUE(probed.first("video"));
        EXPECT_NEAR(double(probed.first("video")->pts.size()), duration * 30, 0.5) << app.toStdString();
        if (app == "Gamma") {
            EXPECT_NEAR(offset, pauses[0].toObject()["at"].toDouble(), 0.1) << "joined while paused";
        } else {
            EXPECT_LT(offset, pauses[0].toObject()["at"].toDouble()) << app.toStdString();
        }
    }

    // The microphone file is cut alike.
    const QJsonObject mic = doc["mic"].toObject();
    ASSERT_FALSE(mic.isEmpty());
    EXPECT_NEAR(mic["startOffset"].toDouble() + mic["duration"].toDouble(), end, 0.25);
    const ProbedFile micFile = probeFile(folder.filePath(mic["file"].toString()).toStdString());
    ASSERT_TRUE(micFile.opened) << micFile.error;

    // The focus history: Alpha from the start, Beta from the resume on, in session time.
    const QJsonArray focus = doc["focus"].toArray();
    ASSERT_EQ(focus.size(), 2);
    EXPECT_EQ(focus[0].toObject()["file"], recordingOf(recordings, "Alpha")["file"]);
    EXPECT_EQ(focus[1].toObject()["file"], recordingOf(recordings, "Beta")["file"]);
    const double switched = focus[1].toObject()["t"].toDouble();
    EXPECT_GE(switched, pauses[0].toObject()["at"].toDouble() - 0.001);
    EXPECT_LE(switched, focusedBy + 0.001);

    model.reset();
    Store::setBaseDirOverride(std::nullopt);
}

} // namespace
} // namespace lc::test
