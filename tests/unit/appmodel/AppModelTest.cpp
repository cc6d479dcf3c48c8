#include "Fakes.h"
#include "TestSupport.h"

#include "model/Store.h"
#include "session/Rounding.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <algorithm>
#include <gtest/gtest.h>
#include <qcoro/qcorotask.h>

using namespace lc;
using namespace std::chrono_literals;

namespace {

const Preset kWide = Preset::builtIn()[0];
const Preset kTall = Preset::builtIn()[1];

class AppModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(state.isValid() && movies.isValid());
        Store::setBaseDirOverride(state.path());
        root = QDir(movies.path()).filePath("Loomcast");
    }
    void TearDown() override {
        model.reset();
        Store::setBaseDirOverride(std::nullopt);
    }

    AppModel& make() {
        AppServices s = fake::services(desktop, audio, actions, root);
        s.settleSeconds = settle;
        if (freeBytes) s.freeSpace = [free = freeBytes](const QString&) { return *free; };
        s.shortcuts = keys;
        s.makeRecorder = [this]() -> std::shared_ptr<SessionRecorder> {
            auto r = std::make_shared<fake::Recorder>(model.get(), &plans);
            recorders.push_back(r);
            return r;
        };
        model = std::make_unique<AppModel>(std::move(s));
        return *model;
    }

    template <class T> void run(QCoro::Task<T> task) { QCoro::waitFor(std::move(task)); }

    QString statePath() const { return QDir(state.path()).filePath("Loomcast/state.json"); }

    QJsonObject manifest() const {
        QFile f(QDir(*model->session().sessionDir()).filePath("session.json"));
        EXPECT_TRUE(f.open(QIODevice::ReadOnly));
        return QJsonDocument::fromJson(f.readAll()).object();
    }

    QStringList folderFiles() const {
        return QDir(*model->session().sessionDir()).entryList(QDir::Files, QDir::Name);
    }

    // Two windows of different applications, refreshed into the catalogue and added.
    void addTwo(AppModel& m) {
        desktop->setWindows(
            {fake::window(11, "Editor", "Notes", 101), fake::window(22, "Browser", "Docs", 202)});
        run(m.windows().refresh(false));
        ASSERT_EQ(m.windows().live().size(), 2u);
        for (const LiveWindow& w : m.windows().live())
            m.add(w);
    }

    QTemporaryDir state, movies;
    QString root;
    double settle = 0;
    // What the file system says is free (absent: the real answer).
    std::shared_ptr<std::optional<qint64>> freeBytes;
    std::shared_ptr<fake::Desktop> desktop = std::make_shared<fake::Desktop>();
    std::shared_ptr<fake::Audio> audio = std::make_shared<fake::Audio>();
    std::shared_ptr<fake::Actions> actions = std::make_shared<fake::Actions>();
    std::shared_ptr<fake::Shortcuts> keys = std::make_shared<fake::Shortcuts>();
    std::map<std::uint32_t, fake::RecorderPlan> plans; // by window id
    std::vector<std::shared_ptr<fake::Recorder>> recorders;
    std::unique_ptr<AppModel> model;
};

} // namespace

// --- Settings and saving ----------------------------------------------------------------------

TEST_F(AppModelTest, FirstLaunchUsesDefaultsAndWritesNothingUntilAChange) {
    AppModel& m = make();
    EXPECT_EQ(m.settings().fps(), 30);
    EXPECT_FALSE(m.settings().hevc());
    EXPECT_EQ(m.settings().container(), "mov");
    EXPECT_TRUE(m.settings().lastAppAudio());
    EXPECT_FALSE(m.settings().micEnabled());
    EXPECT_TRUE(m.settings().showOutline());
    EXPECT_FALSE(m.settings().outlineIdle());
    EXPECT_EQ(m.settings().lastPreset(), kWide);
    EXPECT_TRUE(m.windows().entries().empty());
    // The devices are asked for off the main thread; the answer fills in the default input.
    ASSERT_TRUE(test::waitUntil([&] { return m.settings().micDeviceID().has_value(); }, 5s));
    EXPECT_EQ(m.settings().micDeviceID(), "mic-b") << "the default input is chosen";
    EXPECT_FALSE(QFileInfo::exists(statePath()));

    m.settings().setFps(30); // the same value still saves
    ASSERT_TRUE(QFileInfo::exists(statePath()));
    m.settings().setFps(60);
    EXPECT_EQ(Store::load().fps, 60);
}

TEST_F(AppModelTest, SavedStateComesBackWithFreshUnlinkedEntries) {
    AppState saved;
    saved.fps = 60;
    saved.container = "mp4";
    saved.micDeviceID = "mic-a";
    saved.lastPreset = Preset{"old name", 1080, 1920};
    saved.entries.push_back(SavedEntry{"org.Editor", "Editor", "Notes", kTall, false});
    Store::save(saved);

    AppModel& m = make();
    EXPECT_EQ(m.settings().fps(), 60);
    EXPECT_EQ(m.settings().container(), "mp4");
    EXPECT_EQ(m.settings().micDeviceID(), "mic-a");
    EXPECT_EQ(m.settings().lastPreset(), kTall) << "canonical name";
    ASSERT_EQ(m.windows().entries().size(), 1u);
    EXPECT_FALSE(m.windows().entries()[0].windowID);
    EXPECT_FALSE(m.windows().entries()[0].appAudio);

    desktop->setWindows({fake::window(5, "Editor", "Notes \u2013 draft", 1)});
    run(m.windows().refresh(false));
    EXPECT_EQ(m.windows().entries()[0].windowID, 5u);
    EXPECT_EQ(m.windows().entries()[0].title, "Notes \u2013 draft");
}

TEST_F(AppModelTest, SelfTestRunsNeverSave) {
    AppModel& m = make();
    m.settings().setEphemeral(true);
    m.settings().setFps(24);
    m.settings().setMicEnabled(true);
    addTwo(m);
    m.remove(m.windows().entries()[0].id);
    m.persist();
    EXPECT_FALSE(QFileInfo::exists(statePath()));
}

TEST_F(AppModelTest, PresetAndAudioChangesCarryOverToNewEntries) {
    AppModel& m = make();
    addTwo(m);
    const QUuid first = m.windows().entries()[0].id;
    m.setPreset(first, kTall);
    m.setAppAudio(first, false);
    EXPECT_EQ(m.windows().entry(first)->preset, kTall);
    EXPECT_EQ(m.settings().lastPreset(), kTall);
    EXPECT_FALSE(m.settings().lastAppAudio());
    const AppState saved = Store::load();
    ASSERT_EQ(saved.entries.size(), 2u);
    EXPECT_EQ(saved.entries[0].preset, kTall);
    EXPECT_FALSE(saved.entries[0].appAudio);

    desktop->setWindows({fake::window(11, "Editor", "Notes", 101), fake::window(22, "Browser", "Docs", 202),
                         fake::window(33, "Term", "Shell", 303)});
    run(m.windows().refresh(false));
    ASSERT_EQ(m.windows().pickerWindows().size(), 1u);
    const QUuid third = m.add(m.windows().pickerWindows()[0]);
    EXPECT_EQ(m.windows().entry(third)->preset, kTall);
    EXPECT_FALSE(m.windows().entry(third)->appAudio);
    EXPECT_TRUE(m.windows().pickerWindows().empty());
}

// --- Microphone --------------------------------------------------------------------------------

TEST_F(AppModelTest, MicrophoneSwitchStartsOnceAndAFailureKeepsItOnUntilItRuns) {
    AppModel& m = make();
    ASSERT_TRUE(test::waitUntil([&] { return m.settings().micDeviceID().has_value(); }, 5s));
    QSignalSpy saved(&m.settings(), &Settings::micEnabledChanged);
    m.settings().setMicEnabled(true);
    m.settings().setMicEnabled(true);
    EXPECT_EQ(saved.count(), 1);
    ASSERT_TRUE(test::waitUntil([&] { return m.mic().monitor().isRunning(); }, 5s));
    EXPECT_EQ(audio->captures.load(), 1);
    EXPECT_TRUE(Store::load().micEnabled);

    m.settings().setMicEnabled(false);
    ASSERT_TRUE(test::waitUntil([&] { return !m.mic().monitor().isRunning(); }, 5s));

    // A device that cannot start: the notice says why; the switch and the saved value stay on,
    // and the microphone runs as soon as the device works again.
    audio->failCapture = true;
    m.settings().setMicEnabled(true);
    ASSERT_TRUE(test::waitUntil([&] { return m.notice().has_value(); }, 5s));
    EXPECT_EQ(m.notice(), "Could not start the microphone: device gone");
    EXPECT_TRUE(m.settings().micEnabled());
    EXPECT_TRUE(Store::load().micEnabled);
    audio->failCapture = false;
    ASSERT_TRUE(test::waitUntil([&] { return m.mic().monitor().isRunning(); }, 10s));
    EXPECT_TRUE(m.settings().micEnabled());
}

TEST_F(AppModelTest, MicrophoneWithoutSoundServerTellsAndStartsWhenTheServerAppears) {
    audio->auth = MicAuthorization::restricted;
    {
        AppState saved;
        saved.micEnabled = true;
        saved.micDeviceID = QString("mic-a");
        Store::save(saved);
    }
    AppModel& m = make();
    EXPECT_TRUE(m.settings().micEnabled());
    ASSERT_TRUE(test::waitUntil([&] { return m.notice().has_value(); }, 5s));
    EXPECT_EQ(m.notice(),
              "Microphone access is off. Start the sound server (PipeWire or PulseAudio) and try again.");
    EXPECT_EQ(m.mic().micAuth(), MicAuthorization::restricted);
    // Nothing the user chose is changed or saved because the server is missing.
    EXPECT_TRUE(m.settings().micEnabled());
    EXPECT_TRUE(Store::load().micEnabled);
    EXPECT_EQ(Store::load().micDeviceID, "mic-a");
    m.requestMic();
    EXPECT_EQ(actions->settings, QStringList{"Privacy_Microphone"});

    audio->auth = MicAuthorization::authorized;
    ASSERT_TRUE(test::waitUntil([&] { return m.mic().monitor().isRunning(); }, 10s));
    ASSERT_TRUE(test::waitUntil([&] { return m.mic().micAuth() == MicAuthorization::authorized; }, 5s));
    EXPECT_EQ(m.settings().micDeviceID(), "mic-a");
}

TEST_F(AppModelTest, ChangingTheMicrophoneWhileOffOnlySaves) {
    AppModel& m = make();
    m.settings().setMicDeviceID(QString("mic-a"));
    EXPECT_EQ(Store::load().micDeviceID, "mic-a");
    EXPECT_EQ(audio->captures.load(), 0);
}

// --- Catalogue ---------------------------------------------------------------------------------

TEST_F(AppModelTest, RefreshWithoutCapturePermissionKeepsTheList) {
    AppModel& m = make();
    desktop->captureOK = false;
    desktop->setWindows({fake::window(1, "A", "One", 1)});
    run(m.windows().refresh(true));
    EXPECT_FALSE(m.windows().screenOK());
    EXPECT_TRUE(m.windows().live().empty());
}

TEST_F(AppModelTest, LiveListRepublishedOnlyWhenItsSignatureChanges) {
    AppModel& m = make();
    QSignalSpy published(&m.windows(), &WindowList::liveChanged);
    desktop->setWindows({fake::window(1, "A", "One", 1)});
    run(m.windows().refresh(false));
    auto moved = fake::window(1, "A", "One", 1);
    moved.frame.x = 300;
    desktop->setWindows({moved});
    run(m.windows().refresh(false));
    EXPECT_EQ(published.count(), 1);
    EXPECT_EQ(m.windows().windowObject(1)->frame.x, 300) << "the window object is always current";
    desktop->setWindows({fake::window(1, "A", "Renamed", 1)});
    run(m.windows().refresh(false));
    EXPECT_EQ(published.count(), 2);
}

TEST_F(AppModelTest, PreviewsAreBoundedAndFollowTheList) {
    AppModel& m = make();
    std::vector<ShareableWindow> many;
    for (std::uint32_t i = 1; i <= 20; ++i)
        many.push_back(fake::window(i, "A", "W" + std::to_string(100 + i), 1, 640, 480));
    desktop->setWindows(many);
    run(m.windows().refresh(true));
    EXPECT_EQ(desktop->screenshots.load(), 16);
    EXPECT_EQ(m.windows().thumbs().size(), 16);
    EXPECT_EQ(m.windows().thumbs().value(1).size(), QSize(320, 240));
    desktop->setWindows({fake::window(20, "A", "W120", 1)});
    run(m.windows().refresh(true));
    EXPECT_EQ(m.windows().thumbs().keys(), QList<std::uint32_t>{20});
}

TEST_F(AppModelTest, OutlineTargetsFollowTheSessionState) {
    AppModel& m = make();
    addTwo(m);
    auto targets = m.outlineTargets();
    ASSERT_EQ(targets.size(), 2u);
    EXPECT_EQ(targets[0].style, OutlineView::Style::idle);
    desktop->setFrontmost(202);
    run(m.session().start());
    targets = m.outlineTargets();
    ASSERT_EQ(targets.size(), 2u);
    const std::uint32_t focusedWindow = *m.windows().entry(*m.session().focusCurrent())->windowID;
    for (const auto& t : targets)
        EXPECT_EQ(t.style,
                  t.id == focusedWindow ? OutlineView::Style::focused : OutlineView::Style::recording);
    run(m.session().stop());
}

// --- Sessions -----------------------------------------------------------------------------------

TEST_F(AppModelTest, SessionRecordsNamesOffsetsAndManifest) {
    AppModel& m = make();
    // Two entries with one base name, and a leftover file of that name in no folder yet.
    desktop->setWindows({fake::window(11, "Editor", "a/b: c", 101), fake::window(12, "Editor", "a/b: c", 101),
                         fake::window(22, "Browser", "   ", 202)});
    run(m.windows().refresh(false));
    for (const LiveWindow& w : m.windows().live())
        m.add(w);
    desktop->setFrontmost(101);
    desktop->stacking = {12, 11, 22};
    // Both Editor recorders take a while to start: each name must be reserved before that.
    plans = {{11, {.firstFrameOffset = 2.49, .startDelayMs = 100}},
             {12, {.firstFrameOffset = 2.5, .duration = 3.0625, .startDelayMs = 100}},
             {22, {.firstFrameOffset = std::nullopt, .duration = 0}}};

    run(m.session().start());
    ASSERT_TRUE(m.session().isRecording());
    ASSERT_TRUE(m.session().sessionDir());
    EXPECT_EQ(QFileInfo(*m.session().sessionDir()).absolutePath(), root);
    EXPECT_EQ(m.session().recorderCount(), 3u);
    EXPECT_EQ(m.session().lastFolder(), m.session().sessionDir());
    // Live offsets show up in the manifest while recording; the focus starts at 0 on the front window.
    // The window that has shown no frame yet is not described: its file holds nothing.
    QJsonObject doc = manifest();
    ASSERT_EQ(doc["recordings"].toArray().size(), 2);
    ASSERT_EQ(doc["focus"].toArray().size(), 1);
    EXPECT_EQ(doc["focus"][0]["t"].toDouble(), 0);
    EXPECT_EQ(m.windows().entry(*m.session().focusCurrent())->windowID, 12u)
        << "the window in front among the app's two";
    EXPECT_TRUE(doc["mic"].isNull());
    // Not finished yet: still named as recorded, with the duration so far.
    EXPECT_FALSE(doc["recordings"][0]["file"].toString().contains("(+"));

    QStringList names;
    for (const auto& r : recorders)
        names << QFileInfo(r->args().path).fileName();
    names.sort();
    EXPECT_EQ(names, (QStringList{"Browser - Untitled (16x9 Horizontal).mov",
                                  "Editor - a-b- c (16x9 Horizontal) 2.mov",
                                  "Editor - a-b- c (16x9 Horizontal).mov"}));

    run(m.session().stop());
    EXPECT_FALSE(m.session().isRecording());
    EXPECT_FALSE(m.notice());
    for (const auto& r : recorders)
        EXPECT_EQ(r->stops, 1);
    // Which Editor window got the plain name depends on which start finished first.
    const QString base = "Editor - a-b- c (16x9 Horizontal)";
    const QStringList files = folderFiles();
    ASSERT_EQ(files.size(), 4);
    EXPECT_EQ(files[0], "Browser - Untitled (16x9 Horizontal) (+0m00s).mov");
    EXPECT_EQ(files[3], "session.json");
    const QSet<QString> editors{files[1], files[2]};
    EXPECT_TRUE(editors == (QSet<QString>{base + " (+0m02s).mov", base + " 2 (+0m03s).mov"}) ||
                editors == (QSet<QString>{base + " (+0m03s).mov", base + " 2 (+0m02s).mov"}))
        << files.join(", ").toStdString();

    doc = manifest();
    QHash<double, QJsonObject> byOffset;
    for (const auto& r : doc["recordings"].toArray())
        byOffset.insert(r.toObject()["startOffset"].toDouble(), r.toObject());
    ASSERT_EQ(byOffset.size(), 3);
    EXPECT_TRUE(byOffset[2.49]["file"].toString().endsWith("(+0m02s).mov"));
    EXPECT_TRUE(byOffset[2.5]["file"].toString().endsWith("(+0m03s).mov"));
    EXPECT_EQ(byOffset[2.5]["duration"].toDouble(), 3.063);
    EXPECT_EQ(byOffset[2.5]["windowTitle"].toString(), "a/b: c");
    EXPECT_TRUE(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d:\\d\\d$")
                    .match(byOffset[2.5]["startTimecode"].toString())
                    .hasMatch());
    const QJsonObject silent = byOffset[0];
    EXPECT_EQ(silent["app"].toString(), "Browser");
    EXPECT_EQ(silent["startTimecode"].toString(), "") << "no frame, no timecode";
    EXPECT_EQ(silent["duration"].toDouble(), 0);
    EXPECT_EQ(silent["warning"].toString(), "Window control off: not resized");
    EXPECT_EQ(doc["focus"][0]["file"].toString(), byOffset[2.5]["file"].toString());
    for (const Entry& e : m.windows().entries()) {
        EXPECT_FALSE(e.isRecording);
        EXPECT_TRUE(e.file && e.file->contains("(+0m0"));
        EXPECT_TRUE(e.info && e.info->startsWith("Window 800\u00D7600 pt \u2192 1920\u00D71080"));
        EXPECT_EQ(e.note, e.appName + " keeps its own shape \u2014 will fill with blur");
    }
}

TEST_F(AppModelTest, UnwritableSessionsFolderStartsNothing) {
    QFile blocker(root);
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly)); // a file where the folder should be
    blocker.close();
    AppModel& m = make();
    addTwo(m);
    run(m.session().start());
    EXPECT_FALSE(m.session().isRecording());
    ASSERT_TRUE(m.notice());
    EXPECT_TRUE(m.notice()->startsWith("Cannot create " + root + "/"));
    EXPECT_TRUE(recorders.empty());
}

TEST_F(AppModelTest, NothingLinkedNothingStarts) {
    AppModel& m = make();
    run(m.session().start());
    EXPECT_FALSE(m.session().isRecording());
    EXPECT_FALSE(m.session().sessionDir());
    EXPECT_FALSE(QFileInfo::exists(root));
}

TEST_F(AppModelTest, ClosedWindowEndsOnlyItsRecording) {
    AppModel& m = make();
    addTwo(m);
    run(m.session().start());
    ASSERT_EQ(recorders.size(), 2u);
    recorders[0]->failFromThread("window destroyed");
    ASSERT_TRUE(test::waitUntil([&] { return m.session().recorderCount() == 1; }, 2s));
    ASSERT_TRUE(test::waitUntil([&] { return !m.session().busy(); }, 2s));
    const Entry* failed = nullptr;
    for (const Entry& e : m.windows().entries())
        if (e.failure) failed = &e;
    ASSERT_TRUE(failed);
    EXPECT_EQ(*failed->failure, "Stopped (window closed?): window destroyed");
    EXPECT_FALSE(failed->isRecording);
    EXPECT_TRUE(m.session().isRecording());
    // Only the finished file has its offset name.
    int finished = 0;
    for (const auto& r : manifest()["recordings"].toArray())
        finished += r.toObject()["file"].toString().contains("(+");
    EXPECT_EQ(finished, 1);
    run(m.session().stop());
    EXPECT_EQ(recorders[0]->stops, 1);
    EXPECT_EQ(recorders[1]->stops, 1);
}

TEST_F(AppModelTest, FailedStartShowsOnTheRowAndStaysOutOfTheRecord) {
    AppModel& m = make();
    plans = {{22, {.startError = "no such window"}}};
    addTwo(m);
    run(m.session().start());
    EXPECT_EQ(m.session().recorderCount(), 1u);
    const Entry& e = m.windows().entries()[0];
    EXPECT_EQ(e.failure, "Could not start: no such window");
    EXPECT_FALSE(e.isRecording);
    EXPECT_EQ(manifest()["recordings"].toArray().size(), 1);
    run(m.session().stop());
}

TEST_F(AppModelTest, StartWhileRecordingAndSecondStopAreHarmless) {
    AppModel& m = make();
    plans = {{11, {.stopDelayMs = 200}}};
    addTwo(m);
    run(m.session().start());
    const QString folder = *m.session().sessionDir();
    run(m.session().start());
    EXPECT_EQ(*m.session().sessionDir(), folder);
    EXPECT_EQ(recorders.size(), 2u);

    auto first = m.session().stop();
    auto second = m.session().stop();
    EXPECT_TRUE(m.session().stopping());
    EXPECT_EQ(m.notice(), "Finishing files\u2026");
    run(std::move(second));
    run(std::move(first));
    EXPECT_FALSE(m.session().stopping());
    EXPECT_FALSE(m.session().isRecording());
    for (const auto& r : recorders)
        EXPECT_EQ(r->stops, 1);
}

TEST_F(AppModelTest, StopDuringStartsLeavesNoRecorderRunning) {
    settle = 0.3;
    AppModel& m = make();
    addTwo(m);
    auto starting = m.session().start();
    ASSERT_TRUE(test::waitUntil([&] { return m.session().isRecording(); }, 2s));
    run(m.session().stop()); // the starts are still settling
    run(std::move(starting));
    EXPECT_FALSE(m.session().isRecording());
    EXPECT_TRUE(recorders.empty());
    for (const Entry& e : m.windows().entries())
        EXPECT_FALSE(e.isRecording);

    // A recorder whose start is under way when the stop comes is finished with the rest.
    settle = 0;
    model.reset();
    recorders.clear();
    AppModel& m2 = make();
    plans = {{11, {.startDelayMs = 300}}, {22, {.startDelayMs = 300}}};
    run(m2.windows().refresh(false));
    auto starting2 = m2.session().start();
    ASSERT_TRUE(test::waitUntil([&] { return recorders.size() == 2; }, 2s));
    run(m2.session().stop());
    run(std::move(starting2));
    ASSERT_EQ(recorders.size(), 2u);
    for (const auto& r : recorders) {
        EXPECT_FALSE(r->running);
        EXPECT_EQ(r->stops, 1);
    }
    EXPECT_EQ(manifest()["recordings"].toArray().size(), 2);
}

TEST_F(AppModelTest, WindowsAddedOrRemovedDuringASession) {
    AppModel& m = make();
    addTwo(m);
    run(m.session().start());
    desktop->setWindows({fake::window(11, "Editor", "Notes", 101), fake::window(22, "Browser", "Docs", 202),
                         fake::window(33, "Term", "Shell", 303)});
    run(m.windows().refresh(false));
    const QUuid added = m.add(m.windows().pickerWindows()[0]);
    ASSERT_TRUE(test::waitUntil([&] { return m.session().hasRecorder(added); }, 2s));
    EXPECT_EQ(manifest()["recordings"].toArray().size(), 3);

    const QUuid removed = m.windows().entries()[0].id;
    m.remove(removed);
    EXPECT_FALSE(m.session().hasRecorder(removed));
    run(m.session().stop());
    for (const auto& r : recorders)
        EXPECT_EQ(r->stops, 1);
    const QJsonArray recs = manifest()["recordings"].toArray();
    ASSERT_EQ(recs.size(), 3);
    for (const auto& r : recs)
        EXPECT_TRUE(r.toObject().contains("duration"));
}

TEST_F(AppModelTest, MicrophoneFileJoinsTheSession) {
    AppModel& m = make();
    ASSERT_TRUE(test::waitUntil([&] { return !m.mic().micDevices().empty(); }, 5s));
    m.settings().setMicEnabled(true);
    m.settings().setMicInEach(true);
    ASSERT_TRUE(test::waitUntil([&] { return m.mic().monitor().isRunning(); }, 2s));
    addTwo(m);
    run(m.session().start());
    for (const auto& r : recorders)
        EXPECT_EQ(r->args().mic, &m.mic().monitor());
    // The fake microphone delivers no sound: there is no file, and the manifest names none.
    QJsonObject doc = manifest();
    EXPECT_TRUE(doc["mic"].isNull());
    EXPECT_TRUE(doc["recordings"][0]["hasMicTrack"].toBool());
    run(m.session().stop());
    doc = manifest();
    EXPECT_TRUE(doc["mic"].isNull());
    EXPECT_FALSE(QFileInfo::exists(QDir(*m.session().sessionDir()).filePath("Mic.m4a")));
}

TEST_F(AppModelTest, FocusFollowsTheFrontmostRecordedWindow) {
    AppModel& m = make();
    addTwo(m);
    desktop->setFrontmost(999); // nothing recorded in front: the first entry
    run(m.session().start());
    ASSERT_EQ(m.session().focusLog().size(), 1u);
    EXPECT_EQ(m.session().focusLog()[0].id, m.windows().entries()[0].id);
    desktop->setFrontmost(101);
    ASSERT_TRUE(test::waitUntil([&] { return m.session().focusLog().size() == 2; }, 3s));
    EXPECT_EQ(m.session().focusLog()[1].id, m.windows().entries()[1].id);
    const double switched = m.session().focusLog()[1].t;
    EXPECT_GT(switched, 0);
    EXPECT_LT(switched, 0.6);
    EXPECT_GE(m.session().elapsed() - switched, 0.69) << "dated back to when the candidate first appeared";
    EXPECT_EQ(manifest()["focus"].toArray().size(), 2);
    run(m.session().stop());
}

TEST_F(AppModelTest, ShutdownFinishesTheRunningSession) {
    AppModel& m = make();
    addTwo(m);
    run(m.session().start());
    run(m.shutdown());
    EXPECT_FALSE(m.session().isRecording());
    for (const auto& r : recorders)
        EXPECT_EQ(r->stops, 1);
    EXPECT_TRUE(manifest()["recordings"][0].toObject().contains("duration"));
}

TEST_F(AppModelTest, ShutdownDuringAStartWaitsForItAndFinishesEveryFile) {
    AppModel& m = make();
    plans = {{11, {.startDelayMs = 200}}, {22, {.startDelayMs = 200}}};
    addTwo(m);
    auto starting = m.session().start();
    EXPECT_TRUE(m.session().busy());
    run(m.shutdown()); // comes while the refresh and the recorder starts are still under way
    run(std::move(starting));
    EXPECT_FALSE(m.session().isRecording());
    EXPECT_FALSE(m.session().busy());
    for (const auto& r : recorders) {
        EXPECT_FALSE(r->running);
        EXPECT_EQ(r->stops, 1);
    }
}

// The entry of a window, or an empty one.
Entry entryOf(const AppModel& m, std::uint32_t window) {
    for (const Entry& e : m.windows().entries())
        if (e.windowID == window) return e;
    return Entry{};
}

TEST_F(AppModelTest, WhatARecorderThrowsEndsUpOnItsRowOrInTheNotice) {
    AppModel& m = make();
    plans = {{11, {.startThrows = "out of memory"}}, {22, {.stopThrows = "disk gone"}}};
    addTwo(m);
    const auto byWindow = [&](std::uint32_t window) { return entryOf(m, window); };
    run(m.session().start());
    ASSERT_TRUE(test::waitUntil([&] { return byWindow(11).failure.has_value(); }, 2s));
    EXPECT_EQ(byWindow(11).failure, "Starting the recording failed: out of memory");
    EXPECT_FALSE(byWindow(11).isRecording);
    EXPECT_EQ(m.session().recorderCount(), 1u);

    // A file that cannot be finished shows on its row; the stop still ends the session.
    run(m.session().stop());
    EXPECT_FALSE(m.session().isRecording());
    EXPECT_FALSE(m.session().stopping());
    EXPECT_EQ(byWindow(22).failure, "Finishing the file failed: disk gone");
    EXPECT_EQ(manifest()["recordings"].toArray().size(), 1);

    // A removed entry has no row: its recorder's fault shows as the notice.
    run(m.session().start());
    ASSERT_TRUE(m.session().hasRecorder(byWindow(22).id));
    m.remove(byWindow(22).id);
    ASSERT_TRUE(test::waitUntil([&] { return !m.session().busy(); }, 2s));
    EXPECT_EQ(m.notice(), "Finishing the file failed: disk gone");
    run(m.session().stop());
}

TEST_F(AppModelTest, AFileThatCouldNotBeFinishedShowsOnItsRowWithTheDurationItHas) {
    AppModel& m = make();
    plans = {{22, {.duration = 2.5, .finishFailure = "Cannot finish x.mov: No space left on device"}}};
    addTwo(m);
    run(m.session().start());
    run(m.session().stop());
    const auto entries = m.windows().entries();
    int failed = 0;
    for (const Entry& e : entries) {
        EXPECT_FALSE(e.isRecording);
        if (e.windowID != 22) {
            EXPECT_FALSE(e.failure);
            continue;
        }
        ++failed;
        EXPECT_EQ(e.failure, "Cannot finish x.mov: No space left on device");
    }
    EXPECT_EQ(failed, 1);
    // What was written stays in the manifest, with its true length.
    const QJsonArray recordings = manifest()["recordings"].toArray();
    ASSERT_EQ(recordings.size(), 2);
    std::vector<double> durations;
    for (const auto& r : recordings)
        durations.push_back(r.toObject()["duration"].toDouble());
    std::sort(durations.begin(), durations.end());
    EXPECT_EQ(durations, (std::vector<double>{2.5, 4.0}));
}

TEST_F(AppModelTest, SessionsStartedWithinOneSecondGetTheirOwnFolders) {
    AppModel& m = make();
    addTwo(m);
    run(m.session().start());
    const QString first = *m.session().sessionDir();
    run(m.session().stop());
    run(m.session().start());
    const QString second = *m.session().sessionDir();
    run(m.session().stop());
    EXPECT_NE(first, second);
    EXPECT_TRUE(QFileInfo::exists(QDir(first).filePath("session.json")));
}

TEST_F(AppModelTest, OutputFolderIsTheLatestSessionOrTheRoot) {
    AppModel& m = make();
    m.openOutputFolder();
    EXPECT_EQ(actions->opened, QStringList{root});
    EXPECT_TRUE(QFileInfo(root).isDir());
    addTwo(m);
    run(m.session().start());
    run(m.session().stop());
    m.openOutputFolder();
    EXPECT_EQ(actions->opened.last(), *m.session().sessionDir());
}

// --- Faults in the sound and in the session's own work --------------------------------------------

TEST_F(AppModelTest, SessionWaitsForAMicrophoneThatIsStillStarting) {
    AppModel& m = make();
    ASSERT_TRUE(test::waitUntil([&] { return !m.mic().micDevices().empty(); }, 5s));
    addTwo(m);
    audio->captureDelayMs = 400;
    m.settings().setMicEnabled(true);
    run(m.session().start()); // pressed while the microphone is still starting
    EXPECT_TRUE(m.mic().monitor().isRunning());
    // The session took the microphone in: its file is armed (and, with no movie writer in these
    // fakes, fails at the first sound; the manifest names only files that hold sound).
    audio->deliver(uptime());
    ASSERT_TRUE(test::waitUntil([&] { return m.notice().has_value(); }, 5s));
    EXPECT_EQ(m.notice(), "The microphone file failed: Cannot write the microphone file: no movie writer");
    run(m.session().stop());
}

TEST_F(AppModelTest, MicrophoneThatStopsDuringASessionTellsWhenAndComesBack) {
    AppModel& m = make();
    ASSERT_TRUE(test::waitUntil([&] { return !m.mic().micDevices().empty(); }, 5s));
    m.settings().setMicEnabled(true);
    ASSERT_TRUE(test::waitUntil([&] { return m.mic().monitor().isRunning(); }, 5s));
    addTwo(m);
    run(m.session().start());
    const int captures = audio->captures.load();
    audio->end("The microphone was disconnected");
    ASSERT_TRUE(test::waitUntil([&] { return m.notice().has_value(); }, 5s));
    EXPECT_TRUE(QRegularExpression("^Sound stopped at \\d\\d:\\d\\d: The microphone was disconnected$")
                    .match(m.notice().value_or(QString()))
                    .hasMatch())
        << m.notice().value_or(QString()).toStdString();
    EXPECT_TRUE(m.settings().micEnabled());
    EXPECT_TRUE(m.session().isRecording()) << "the windows go on recording";
    ASSERT_TRUE(test::waitUntil(
        [&] { return audio->captures.load() > captures && m.mic().monitor().isRunning(); }, 10s));
    run(m.session().stop());
    EXPECT_TRUE(m.settings().micEnabled());
}

TEST_F(AppModelTest, MicrophoneFileThatCannotBeWrittenReachesTheNotice) {
    AppModel& m = make(); // the fake services have no movie writer: the file cannot be made
    ASSERT_TRUE(test::waitUntil([&] { return !m.mic().micDevices().empty(); }, 5s));
    m.settings().setMicEnabled(true);
    ASSERT_TRUE(test::waitUntil([&] { return m.mic().monitor().isRunning(); }, 5s));
    addTwo(m);
    run(m.session().start());
    audio->deliver(uptime());
    ASSERT_TRUE(test::waitUntil([&] { return m.notice().has_value(); }, 5s));
    EXPECT_EQ(m.notice(), "The microphone file failed: Cannot write the microphone file: no movie writer");
    run(m.session().stop());
    EXPECT_EQ(m.notice(), "The microphone file failed: Cannot write the microphone file: no movie writer")
        << "still told once the session has ended";
}

TEST_F(AppModelTest, ThrowsWhileStoppingEndTheSessionAndLeaveTheModelUsable) {
    AppModel& m = make();
    plans = {{11, {.recordThrows = "clock gone"}}};
    addTwo(m);
    const auto byWindow = [&](std::uint32_t window) { return entryOf(m, window); };
    // A throw while one file's record is completed: that row says so, the other file is complete.
    run(m.session().start());
    run(m.session().stop());
    EXPECT_FALSE(m.session().isRecording());
    EXPECT_FALSE(m.session().busy());
    EXPECT_EQ(byWindow(11).failure, "Finishing the file failed: clock gone");
    ASSERT_EQ(manifest()["recordings"].toArray().size(), 2);
    for (const auto& r : manifest()["recordings"].toArray())
        EXPECT_TRUE(r.toObject().contains("duration"));

    // A throw in the stop itself, outside any one file: the session still ends, the notice says it.
    plans = {{11, {.debugThrows = "report lost"}}};
    m.session().setPrintStopDebug(true);
    run(m.session().start());
    ASSERT_TRUE(m.session().isRecording());
    run(m.session().stop());
    EXPECT_FALSE(m.session().isRecording());
    EXPECT_FALSE(m.session().stopping());
    EXPECT_FALSE(m.session().busy());
    EXPECT_EQ(m.notice(), "Stopping failed: report lost");
    EXPECT_TRUE(manifest()["recordings"][0].toObject().contains("duration")) << "the files were finished";

    // Record, stop and quit still work.
    plans.clear();
    m.session().setPrintStopDebug(false);
    run(m.session().start());
    EXPECT_TRUE(m.session().isRecording());
    run(m.session().stop());
    EXPECT_FALSE(m.session().isRecording());
    run(m.shutdown());
    EXPECT_FALSE(m.session().busy());
}

TEST(ExportControllerFaults, AThrowEndsThatExportAsFailedAndTheNextOneRuns) {
    int runs = 0;
    ExportController controller(
        [&](QString folder, std::function<void(double)>,
            std::function<void(std::shared_ptr<ExportSession>)>) -> QCoro::Task<Result<QString>> {
            if (++runs == 1) throw std::runtime_error("decoder exploded");
            co_return folder + "/Loomcast Final.mp4";
        });
    controller.start("/sessions/a");
    EXPECT_TRUE(controller.state().isRunning());
    ASSERT_TRUE(test::waitUntil([&] { return !controller.state().isRunning(); }, 5s));
    EXPECT_EQ(controller.state(), ExportState::failed("Export failed: decoder exploded"));
    EXPECT_FALSE(controller.session());

    controller.start("/sessions/b");
    ASSERT_TRUE(test::waitUntil([&] { return !controller.state().isRunning(); }, 5s));
    EXPECT_EQ(controller.state(), ExportState::done("/sessions/b/Loomcast Final.mp4"));
}

TEST_F(AppModelTest, DiskSpaceGuardRefusesAStartAndStopsASessionCleanly) {
    // Two 1080p30 windows write about 2 × 0.93 MB/s: the reserve is the 64 MiB floor, the start
    // needs a minute (112 MB) more.
    freeBytes = std::make_shared<std::optional<qint64>>(150'000'000);
    AppModel& m = make();
    addTwo(m);
    run(m.session().start());
    EXPECT_FALSE(m.session().isRecording());
    EXPECT_EQ(m.notice(), "Not enough disk space to record (150 MB left).");
    EXPECT_FALSE(QDir(root).exists() && !QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot).isEmpty());

    *freeBytes = 5'000'000'000;
    run(m.session().start());
    ASSERT_TRUE(m.session().isRecording());
    const QString folder = *m.session().sessionDir();
    EXPECT_TRUE(QFileInfo::exists(QDir(folder).filePath(".recording"))) << "unfinished until it stops";

    // Another program fills the disk: the session stops itself, every file finished.
    *freeBytes = 60'000'000;
    ASSERT_TRUE(test::waitUntil([&] { return !m.session().isRecording() && !m.session().busy(); }, 10s));
    EXPECT_EQ(m.notice(), "Recording stopped: the disk is almost full (60 MB left).");
    for (const auto& r : recorders)
        EXPECT_EQ(r->stops, 1);
    const QJsonObject doc = manifest();
    ASSERT_EQ(doc["recordings"].toArray().size(), 2);
    for (const auto& r : doc["recordings"].toArray())
        EXPECT_TRUE(r.toObject()["file"].toString().contains("(+"));
    EXPECT_FALSE(QFileInfo::exists(QDir(folder).filePath(".recording")));
}

TEST(DiskReserve, ManifestIndexesAndTenSecondsNeverUnder64MB) {
    EXPECT_EQ(SessionController::diskReserve(0, 0, 0), 64LL * 1024 * 1024);
    EXPECT_EQ(SessionController::diskReserve(10e6, 0, 0), 100'000'000);
    EXPECT_EQ(SessionController::diskReserve(10e6, 1e6, 50'000), 100'000'000 + 16'000'000 + 100'000);
    EXPECT_EQ(SessionController::spaceText(63'400'000), "63 MB");
    EXPECT_EQ(SessionController::spaceText(1'440'000'000), "1.4 GB");
    EXPECT_EQ(SessionController::spaceText(999), "999 bytes");
}

// --- Global shortcuts and pause -----------------------------------------------------------------

TEST_F(AppModelTest, ShortcutsAreBoundAtStartAndFollowEveryChangeAtOnce) {
    AppModel& m = make();
    using A = ShortcutAction;
    EXPECT_EQ(keys->text(A::startStop), "Ctrl+Alt+R");
    EXPECT_EQ(keys->text(A::pauseResume), "Ctrl+Alt+P");
    EXPECT_FALSE(m.shortcuts().error(A::startStop));
    QSignalSpy errors(&m.shortcuts(), &ShortcutKeys::errorsChanged);

    m.settings().setShortcutStartStop("ctrl+shift+f9");
    EXPECT_EQ(keys->text(A::startStop), "Ctrl+Shift+F9") << "in force without a restart";
    m.settings().setShortcutPauseResume("");
    EXPECT_EQ(keys->text(A::pauseResume), "");
    EXPECT_FALSE(m.shortcuts().error(A::pauseResume)) << "off is not an error";

    // Held elsewhere: said, and kept in the settings for the next start.
    keys->taken.insert("Ctrl+Alt+P");
    m.settings().setShortcutPauseResume("Ctrl+Alt+P");
    EXPECT_EQ(m.shortcuts().error(A::pauseResume), "Ctrl+Alt+P is used by another program");
    EXPECT_EQ(errors.count(), 1);
    EXPECT_EQ(m.settings().shortcutPauseResume(), "Ctrl+Alt+P");
    {
        QFile f(statePath());
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const QJsonObject saved = QJsonDocument::fromJson(f.readAll()).object();
        EXPECT_EQ(saved["shortcutPauseResume"].toString(), "Ctrl+Alt+P");
        EXPECT_EQ(saved["shortcutStartStop"].toString(), "ctrl+shift+f9");
    }
    // One combination for both actions would fire one of them at random: the second is refused.
    m.settings().setShortcutPauseResume("Ctrl+Shift+F9");
    EXPECT_EQ(m.shortcuts().error(A::pauseResume), "Ctrl+Shift+F9 already starts and stops recording");
    EXPECT_EQ(keys->text(A::startStop), "Ctrl+Shift+F9");
    EXPECT_EQ(keys->text(A::pauseResume), "");
    m.settings().setShortcutPauseResume("Ctrl+Banana");
    EXPECT_EQ(m.shortcuts().error(A::pauseResume), "Ctrl+Banana is not a key combination");

    // While a new combination is being typed nothing is held; afterwards all is back.
    m.settings().setShortcutPauseResume("Super+P");
    m.shortcuts().setSuspended(true);
    EXPECT_TRUE(keys->bound.empty());
    m.settings().setShortcutStartStop("Alt+F10"); // saved, bound once the typing ends
    EXPECT_TRUE(keys->bound.empty());
    m.shortcuts().setSuspended(false);
    EXPECT_EQ(keys->text(A::startStop), "Alt+F10");
    EXPECT_EQ(keys->text(A::pauseResume), "Super+P");
    EXPECT_FALSE(m.shortcuts().error(A::pauseResume));

    // Gone with the model: a later press reaches nothing.
    model.reset();
    EXPECT_FALSE(keys->handler);
}

TEST_F(AppModelTest, WithoutShortcutBackEndEveryCombinationSaysSo) {
    keys.reset();
    AppModel& m = make();
    EXPECT_FALSE(m.shortcuts().available());
    EXPECT_EQ(m.shortcuts().error(ShortcutAction::startStop),
              "Global shortcuts are not available on this desktop");
    m.settings().setShortcutStartStop("");
    EXPECT_FALSE(m.shortcuts().error(ShortcutAction::startStop));
}

TEST_F(AppModelTest, ShortcutPressesStartPauseResumeAndStopTheSession) {
    AppModel& m = make();
    addTwo(m);
    using A = ShortcutAction;
    ASSERT_TRUE(keys->press(A::pauseResume));
    EXPECT_FALSE(m.session().isPaused()) << "nothing to pause";

    ASSERT_TRUE(keys->press(A::startStop));
    ASSERT_TRUE(test::waitUntil([&] { return m.session().recorderCount() == 2 && !m.session().busy(); }, 5s));
    ASSERT_TRUE(m.session().isRecording());

    QSignalSpy paused(&m.session(), &SessionController::pausedChanged);
    keys->press(A::pauseResume);
    ASSERT_TRUE(m.session().isPaused());
    keys->press(A::pauseResume);
    EXPECT_FALSE(m.session().isPaused());
    ASSERT_EQ(paused.count(), 2);
    EXPECT_TRUE(paused[0][0].toBool());
    EXPECT_FALSE(paused[1][0].toBool());
    for (const auto& r : recorders) {
        ASSERT_EQ(r->calls.size(), 2u);
        EXPECT_TRUE(r->calls[0].pause);
        EXPECT_FALSE(r->calls[1].pause);
        EXPECT_LE(r->calls[0].at, r->calls[1].at);
        EXPECT_EQ(r->calls[0].at, recorders[0]->calls[0].at) << "one instant for every recorder";
    }

    keys->press(A::startStop);
    ASSERT_TRUE(test::waitUntil([&] { return !m.session().isRecording() && !m.session().busy(); }, 5s));
    for (const auto& r : recorders)
        EXPECT_EQ(r->stops, 1);
}

TEST_F(AppModelTest, PausesAreCutFromSessionTimeForEveryRecordAndWritten) {
    AppModel& m = make();
    addTwo(m);
    plans = {{11, {.firstFrameOffset = 0}}, {22, {.firstFrameOffset = 0}}, {33, {.firstFrameOffset = 1000}}};
    desktop->setFrontmost(101);
    run(m.session().start());
    ASSERT_EQ(m.session().focusLog().size(), 1u);
    const QUuid editor = m.session().focusLog()[0].id;

    m.session().pause();
    const double pausedAt = *m.session().pauses().pausedAt();
    const double heldElapsed = m.session().elapsed();
    EXPECT_EQ(heldElapsed, m.session().sessionTime(pausedAt));
    EXPECT_EQ(m.session().sessionTime(pausedAt + 50), heldElapsed) << "the clock stands still";

    // While paused a focus change is not taken, even when the desktop says so at once.
    desktop->setFrontmost(202);
    ASSERT_TRUE(desktop->activation);
    desktop->activation(202);
    QCoreApplication::processEvents();
    EXPECT_EQ(m.session().focusLog().size(), 1u);

    // A window that joins now starts paused.
    desktop->setWindows({fake::window(11, "Editor", "Notes", 101), fake::window(22, "Browser", "Docs", 202),
                         fake::window(33, "Term", "Shell", 303)});
    run(m.windows().refresh(false));
    const QUuid joined = m.add(m.windows().pickerWindows()[0]);
    ASSERT_TRUE(test::waitUntil([&] { return m.session().hasRecorder(joined); }, 2s));
    ASSERT_EQ(recorders.size(), 3u);
    EXPECT_EQ(recorders[2]->args().pausedAt, pausedAt);

    m.session().resume();
    const PauseTimeline::Span first = m.session().pauses().spans().at(0);
    EXPECT_EQ(first.at, pausedAt);
    ASSERT_EQ(recorders[2]->calls.size(), 1u) << "its pause came with the start";
    EXPECT_FALSE(recorders[2]->calls[0].pause);
    EXPECT_EQ(recorders[2]->calls[0].at, first.at + first.length);

    // The focus change after the resume is dated in session time, past the pause.
    ASSERT_TRUE(test::waitUntil([&] { return m.session().focusLog().size() == 2; }, 3s));
    EXPECT_NE(m.session().focusLog()[1].id, editor);
    EXPECT_GE(m.session().focusLog()[1].t, heldElapsed);
    EXPECT_LE(m.session().focusLog()[1].t, m.session().sessionTime(uptime()));
    QJsonArray pauses = manifest()["pauses"].toArray();
    ASSERT_EQ(pauses.size(), 1);
    EXPECT_EQ(pauses[0].toObject()["at"].toDouble(), round3(heldElapsed));
    EXPECT_EQ(pauses[0].toObject()["length"].toDouble(), round3(first.length));

    // Stopping while paused: the pause ends with the session and is written too.
    m.session().pause();
    const double secondAt = *m.session().pauses().pausedAt();
    QSignalSpy pausedSpy(&m.session(), &SessionController::pausedChanged);
    run(m.session().stop());
    EXPECT_FALSE(m.session().isPaused());
    EXPECT_EQ(pausedSpy.count(), 1);
    for (const auto& r : recorders) {
        ASSERT_FALSE(r->calls.empty());
        EXPECT_TRUE(r->calls.back().pause) << "never resumed: the files end at the pause";
        EXPECT_EQ(r->calls.back().at, secondAt);
    }
    ASSERT_EQ(m.session().pauses().spans().size(), 2u);
    const PauseTimeline::Span second = m.session().pauses().spans()[1];
    EXPECT_EQ(second.at, secondAt);
    const QJsonObject doc = manifest();
    pauses = doc["pauses"].toArray();
    ASSERT_EQ(pauses.size(), 2);
    EXPECT_EQ(pauses[1].toObject()["at"].toDouble(), round3(m.session().sessionTime(secondAt)));
    // First frames at the start stay at 0; the one long after every pause moves back by them.
    const QJsonArray recs = doc["recordings"].toArray();
    ASSERT_EQ(recs.size(), 3);
    EXPECT_EQ(recs[0]["startOffset"].toDouble(), 0);
    EXPECT_EQ(recs[2]["startOffset"].toDouble(), round3(1000 - first.length - second.length));
    // Nothing pauses once the session is over.
    m.session().pause();
    EXPECT_FALSE(m.session().isPaused());
}
