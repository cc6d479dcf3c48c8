// The views on a real model: what they show for the model's state, and what their controls do.
#include "UiFixture.h"

#include "ui/ExportBar.h"
#include "ui/PresetPicker.h"
#include "ui/Rows.h"
#include "ui/SettingsView.h"
#include "ui/ShortcutsSection.h"
#include "ui/TrayItem.h"

#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <functional>

using namespace lc;
using namespace lc::ui;
using namespace std::chrono_literals;
using lc::test::UiFixture;

namespace {

ShareableWindow win(std::uint32_t id, const std::string& app, const std::string& title) {
    return fake::window(id, app, title, std::int32_t(1000 + id));
}

void touch(const QString& path) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("{}");
}

} // namespace

// --- Main window -------------------------------------------------------------------------------

TEST_F(UiFixture, RecordButtonFollowsWhatCanBeRecorded) {
    MainWindow& w = makeWindow();
    RecordButton* record = w.recordButton();
    EXPECT_FALSE(record->isEnabled()) << "no entries";
    EXPECT_DOUBLE_EQ(record->fillOpacity(), 0.4);
    EXPECT_EQ(w.statusPill()->text(), "Ready");

    offer({win(11, "Editor", "Notes"), win(22, "Browser", "Docs")}, 1);
    EXPECT_TRUE(record->isEnabled()) << "one live entry";
    EXPECT_DOUBLE_EQ(record->fillOpacity(), 1.0);
    EXPECT_EQ(w.selectedTitle()->countText(), "1");
    EXPECT_EQ(w.availableTitle()->countText(), "1");

    ASSERT_EQ(model->windows().entries()[0].appName, "Browser") << "the picker lists by application name";

    // Its window closes: nothing can be recorded while idle.
    offer({win(11, "Editor", "Notes")});
    EXPECT_FALSE(record->isEnabled());
    ASSERT_EQ(w.entryRows().size(), 1u);
    EXPECT_TRUE(w.entryRows()[0]->statusTexts().contains("Open Browser to enable"));

    // The window is back: the entry relinks and a session starts; stopping stays possible even
    // when every recorded window goes away.
    offer({win(11, "Editor", "Notes"), win(22, "Browser", "Docs")});
    EXPECT_FALSE(w.entryRows()[0]->statusTexts().contains("Open Browser to enable"));
    run(model->session().start());
    ASSERT_TRUE(model->session().isRecording());
    EXPECT_EQ(record->text(), "Stop Recording");
    EXPECT_TRUE(w.statusPill()->isRed());
    EXPECT_TRUE(w.statusPill()->text().startsWith("Recording 00:0"));
    offer({});
    EXPECT_TRUE(record->isEnabled());
    EXPECT_DOUBLE_EQ(record->fillOpacity(), 1.0);
    run(model->session().stop());
    EXPECT_EQ(w.statusPill()->text(), "Ready");
}

TEST_F(UiFixture, SummaryItemsOpenTheSettingsOnTheirKey) {
    MainWindow& w = makeWindow();
    const auto& s = w.summaryButtons();
    ASSERT_EQ(s.size(), 4u);
    EXPECT_EQ(s[0]->text(), "30 FPS");
    EXPECT_EQ(s[1]->text(), "MOV");
    EXPECT_EQ(s[2]->text(), "H.264");
    EXPECT_EQ(s[3]->text(), "Mic off");
    model->settings().setFps(60);
    model->settings().setContainer("mp4");
    model->settings().setHevc(true);
    model->settings().setMicEnabled(true);
    EXPECT_EQ(s[0]->text(), "60 FPS");
    EXPECT_EQ(s[1]->text(), "MP4");
    EXPECT_EQ(s[2]->text(), "HEVC");
    EXPECT_EQ(s[3]->text(), "Microphone");
    for (auto* b : s)
        EXPECT_EQ(b->toolTip(), "Open Settings");

    s[2]->click();
    EXPECT_TRUE(view().showSettings());
    EXPECT_EQ(view().settingsFocus(), QString("hevc"));
    ASSERT_NE(w.settingsView(), nullptr);
    EXPECT_TRUE(w.settingsView()->isVisibleTo(&w));
    EXPECT_FALSE(w.mainContent()->isVisibleTo(&w)) << "the page stands in for the content";

    QTest::keyClick(w.settingsView(), Qt::Key_Escape);
    EXPECT_FALSE(view().showSettings());
    EXPECT_FALSE(w.settingsView()->isVisibleTo(&w));
    EXPECT_TRUE(w.mainContent()->isVisibleTo(&w));
    w.settingsButton()->click();
    EXPECT_TRUE(view().showSettings());
    EXPECT_EQ(view().settingsFocus(), std::nullopt);
}

TEST_F(UiFixture, SettingsScrollToTheFocusedRow) {
    MainWindow& w = makeWindow();
    w.show();
    view().setSettingsFocus(QString("container"));
    view().setShowSettings(true);
    SettingsView* settings = w.settingsView();
    ASSERT_NE(settings, nullptr);
    const int target = settings->rowTop("container");
    ASSERT_GT(target, 0);
    EXPECT_TRUE(lc::test::waitUntil([&] { return settings->scrollPosition() == target; }, 3s))
        << settings->scrollPosition() << " vs " << target;

    view().setShowSettings(false);
    view().setSettingsFocus(std::nullopt);
    view().setShowSettings(true);
    EXPECT_TRUE(lc::test::waitUntil([&] { return settings->isVisible(); }, 1s));
    QTest::qWait(400);
    EXPECT_EQ(settings->scrollPosition(), 0) << "the gear opens the top";
}

TEST_F(UiFixture, SettingsPageOpensInTheWindowFromEveryEntryAndGivesTheFocusBack) {
    MainWindow& w = makeWindow();
    offer({win(11, "Editor", "Notes"), win(22, "Browser", "Docs")}, 1);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    const QSize size = w.size();
    QAction* menuItem = nullptr;
    for (QAction* a : w.appMenu()->actions())
        if (a->text() == "Settings\u2026") menuItem = a;
    ASSERT_NE(menuItem, nullptr);

    struct Entry {
        const char* name;
        std::function<void()> open;
        QWidget* opener;            // where the focus goes back to
        std::optional<QString> key; // the section it opens on
    };
    QWidget* record = w.recordButton();
    const std::vector<Entry> entries{
        {"gear", [&] { w.settingsButton()->click(); }, w.settingsButton(), std::nullopt},
        {"summary", [&] { w.summaryButtons()[2]->click(); }, w.summaryButtons()[2], QString("hevc")},
        {"menu", [&] { menuItem->trigger(); }, w.menuButton(), std::nullopt},
        {"Ctrl+,",
         [&] {
             record->setFocus(Qt::TabFocusReason);
             QTest::keyClick(&w, Qt::Key_Comma, Qt::ControlModifier);
         },
         record, std::nullopt},
    };
    for (const bool escape : {true, false}) {
        for (const Entry& e : entries) {
            SCOPED_TRACE(std::string(e.name) + (escape ? " / Escape" : " / Back"));
            e.open();
            ASSERT_TRUE(view().showSettings());
            EXPECT_EQ(view().settingsFocus(), e.key);
            SettingsView* page = w.settingsView();
            ASSERT_NE(page, nullptr);
            EXPECT_TRUE(page->isVisible());
            EXPECT_EQ(page->window(), &w) << "a page of the window, not a window of its own";
            EXPECT_FALSE(w.mainContent()->isVisible());
            EXPECT_EQ(w.size(), size) << "the window keeps its size";
            EXPECT_EQ(page->geometry(), w.rect()) << "the page fills the window";
            // The focus starts on Back, or on the control of the section it opened on.
            EXPECT_EQ(QApplication::focusWidget(), e.key ? page->hevcSwitch() : page->backButton());
            if (escape)
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
            else
                page->backButton()->click();
            EXPECT_FALSE(view().showSettings());
            EXPECT_FALSE(page->isVisible());
            EXPECT_TRUE(w.mainContent()->isVisible());
            EXPECT_EQ(QApplication::focusWidget(), e.opener);
        }
    }
    // Escape reaches the page only when the focused control does not take it: a shortcut
    // being recorded gives up instead.
    w.settingsButton()->click();
    ShortcutsSection* keysSection = w.settingsView()->shortcutsSection();
    keysSection->changeButton(ShortcutAction::startStop)->click();
    ASSERT_TRUE(keysSection->listening());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    EXPECT_FALSE(keysSection->listening());
    EXPECT_TRUE(view().showSettings());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    EXPECT_FALSE(view().showSettings());
}

TEST_F(UiFixture, SettingsLockWhileRecordingAndWithTheMicrophoneOff) {
    MainWindow& w = makeWindow();
    view().setShowSettings(true);
    SettingsView* s = w.settingsView();
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(s->recordingSection()->isEnabled());
    EXPECT_TRUE(s->micSwitch()->isEnabled());
    EXPECT_FALSE(s->devicePicker()->isEnabled()) << "microphone off";
    EXPECT_FALSE(s->micInEachSwitch()->isEnabled());
    EXPECT_TRUE(s->micDeviceRows()->isVisibleTo(s));
    EXPECT_FALSE(s->micAccessRow()->isVisibleTo(s));
    ASSERT_EQ(s->devicePicker()->count(), 2);
    EXPECT_EQ(s->devicePicker()->currentText(), "Mic B") << "the default input";

    s->micSwitch()->click();
    EXPECT_TRUE(model->settings().micEnabled());
    EXPECT_TRUE(s->devicePicker()->isEnabled());
    EXPECT_TRUE(s->micInEachSwitch()->isEnabled());
    s->fpsPicker()->choose(1);
    EXPECT_EQ(model->settings().fps(), 60);
    s->containerPicker()->choose(1);
    EXPECT_EQ(model->settings().container(), "mp4");
    s->hevcSwitch()->click();
    EXPECT_TRUE(model->settings().hevc());

    offer({win(11, "Editor", "Notes")}, 1);
    run(model->session().start());
    ASSERT_TRUE(model->session().isRecording());
    EXPECT_FALSE(s->recordingSection()->isEnabled());
    EXPECT_FALSE(s->fpsPicker()->isEnabled());
    EXPECT_FALSE(s->micSwitch()->isEnabled());
    EXPECT_FALSE(s->devicePicker()->isEnabled());
    EXPECT_FALSE(s->micInEachSwitch()->isEnabled());
    EXPECT_TRUE(s->outlineSwitch()->isEnabled()) << "outlines can change during a session";
    run(model->session().stop());
    EXPECT_TRUE(s->recordingSection()->isEnabled());
}

TEST_F(UiFixture, MicrophoneAccessOffReplacesTheDeviceRows) {
    audio->auth = MicAuthorization::restricted;
    MainWindow& w = makeWindow();
    view().setShowSettings(true);
    SettingsView* s = w.settingsView();
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(s->micAccessRow()->isVisibleTo(s));
    EXPECT_FALSE(s->micDeviceRows()->isVisibleTo(s));
    EXPECT_FALSE(s->micSwitch()->isEnabled());
}

TEST_F(UiFixture, HevcInfoButtonTogglesTheExplanation) {
    MainWindow& w = makeWindow();
    w.show();
    view().setShowSettings(true);
    SettingsView* s = w.settingsView();
    ASSERT_NE(s, nullptr);
    EXPECT_FALSE(s->showHEVCInfo());
    s->hevcInfoButton()->click();
    EXPECT_TRUE(s->showHEVCInfo());
    EXPECT_TRUE(s->hevcPopover()->isVisible());
    s->hevcInfoButton()->click();
    EXPECT_FALSE(s->hevcPopover()->isVisible());
}

TEST_F(UiFixture, SettingsControlsWriteTheModel) {
    MainWindow& w = makeWindow();
    view().setShowSettings(true);
    SettingsView* s = w.settingsView();
    ASSERT_NE(s, nullptr);
    model->settings().setMicEnabled(true);
    s->devicePicker()->setCurrentIndex(0);
    emit s->devicePicker()->activated(0);
    EXPECT_EQ(model->settings().micDeviceID(), QString("mic-a"));
    s->micInEachSwitch()->click();
    EXPECT_TRUE(model->settings().micInEach());
    s->outlineSwitch()->click();
    EXPECT_FALSE(model->settings().showOutline());
    s->outlineIdleSwitch()->click();
    EXPECT_TRUE(model->settings().outlineIdle());
    // And the other way: the model's values show.
    model->settings().setFps(60);
    EXPECT_EQ(s->fpsPicker()->current(), 1);
    model->settings().setContainer("mov");
    EXPECT_EQ(s->containerPicker()->current(), 0);
    model->settings().setMicDeviceID(QString("mic-b"));
    EXPECT_EQ(s->devicePicker()->currentText(), "Mic B");
}

// --- Rows and the preset picker --------------------------------------------------------------

TEST_F(UiFixture, EntryRowStatusLinesInOrder) {
    make();
    Entry e;
    e.appName = "Editor";
    e.title = "Notes";
    e.warning = "Window control off: not resized";
    e.note = "Aspect differs";
    e.info = "Window 800×600 pt";
    e.failure = "Capture failed";
    e.file = "Editor - Notes.mov";
    ui::ViewState view;
    EntryRow row(*model, view, e);
    EXPECT_EQ(row.statusTexts(), (QStringList{"Open Editor to enable", "Window control off: not resized",
                                              "Aspect differs", "Window 800×600 pt", "Capture failed"}))
        << "no window; the file shows only around a session";
    e.windowID = 7;
    e.isRecording = true;
    row.setEntry(e, true);
    EXPECT_EQ(row.statusTexts().size(), 5);
    EXPECT_EQ(row.statusTexts().last(), "Editor - Notes.mov");
    EXPECT_FALSE(row.audioButton()->isEnabled());
    EXPECT_FALSE(row.startButton()->isVisibleTo(&row));
    e.isRecording = false;
    row.setEntry(e, true);
    EXPECT_TRUE(row.startButton()->isVisibleTo(&row)) << "linked, not recording, session running";
}

TEST_F(UiFixture, PresetPickerSizesAndApplyToAll) {
    MainWindow& w = makeWindow();
    w.show();
    offer({win(11, "Editor", "Notes"), win(22, "Browser", "Docs")}, 1);
    const QUuid first = model->windows().entries()[0].id;
    EXPECT_EQ(w.entryRows()[0]->chip()->text(), "16:9 \u00B7 YouTube");

    w.entryRows()[0]->chip()->click();
    EXPECT_EQ(view().presetPopoverFor(), first);
    PresetPicker* picker = w.presetPicker();
    ASSERT_NE(picker, nullptr);
    EXPECT_TRUE(picker->isVisible());
    EXPECT_FALSE(picker->applyToAllButton()->isEnabled()) << "one entry";
    EXPECT_TRUE(picker->cards()[1]->isSelected()) << "16:9 is the second card";

    picker->cards()[0]->click();
    EXPECT_EQ(model->windows().entry(first)->preset, Preset::builtIn()[1]);
    EXPECT_TRUE(picker->cards()[0]->isSelected());
    EXPECT_FALSE(picker->widthField()->isVisibleTo(picker)) << "fields only for a custom size";

    picker->customCard()->click();
    EXPECT_EQ(model->windows().entry(first)->preset, (Preset{"Custom", 1280, 720}));
    EXPECT_TRUE(picker->widthField()->isVisibleTo(picker));
    EXPECT_EQ(picker->widthField()->text(), "1280");
    picker->commitWidth("1921");
    EXPECT_EQ(model->windows().entry(first)->preset, (Preset{"Custom", 1920, 720}));
    EXPECT_EQ(picker->widthField()->text(), "1920");
    picker->commitWidth("10");
    EXPECT_EQ(model->windows().entry(first)->preset.width, 64);
    picker->commitHeight("0");
    EXPECT_EQ(model->windows().entry(first)->preset, (Preset{"Custom", 64, 64}));
    picker->commitHeight("");
    EXPECT_EQ(model->windows().entry(first)->preset, (Preset{"Custom", 64, 64})) << "no number, no change";
    EXPECT_EQ(picker->heightField()->text(), "64");
    picker->customCard()->click();
    EXPECT_EQ(model->windows().entry(first)->preset, (Preset{"Custom", 64, 64})) << "a custom size stays";
    EXPECT_EQ(w.entryRows()[0]->chip()->text(), "Custom \u00B7 64\u00D764");

    model->add(model->windows().pickerWindows().front());
    ASSERT_EQ(model->windows().entries().size(), 2u);
    EXPECT_TRUE(picker->applyToAllButton()->isEnabled());
    picker->applyToAllButton()->click();
    for (const Entry& e : model->windows().entries())
        EXPECT_EQ(e.preset, (Preset{"Custom", 64, 64}));

    picker->hide(); // a click elsewhere
    EXPECT_EQ(view().presetPopoverFor(), std::nullopt);
    EXPECT_TRUE(lc::test::waitUntil([&] { return w.presetPicker() == nullptr; }, 1s));

    // Removing the entry closes its picker.
    view().setPresetPopoverFor(first);
    ASSERT_NE(w.presetPicker(), nullptr);
    model->remove(first);
    EXPECT_EQ(view().presetPopoverFor(), std::nullopt);
    EXPECT_TRUE(lc::test::waitUntil([&] { return w.presetPicker() == nullptr; }, 1s));
}

TEST_F(UiFixture, RowsDuringASession) {
    MainWindow& w = makeWindow();
    offer({win(11, "Editor", "Notes"), win(22, "Browser", "Docs"), win(33, "Mail", "Inbox")}, 2);
    ASSERT_EQ(w.liveRows().size(), 1u);
    EXPECT_EQ(w.liveRows()[0]->addButton()->text(), "Add +");
    EntryRow* row = w.entryRows()[0];
    EXPECT_FALSE(row->startButton()->isVisibleTo(row));
    EXPECT_EQ(row->audioButton()->symbol(), "speaker.wave.2.fill");
    row->audioButton()->click();
    EXPECT_FALSE(model->windows().entries()[0].appAudio);
    EXPECT_EQ(w.entryRows()[0]->audioButton()->symbol(), "speaker.slash");

    run(model->session().start());
    ASSERT_TRUE(model->session().isRecording());
    EXPECT_EQ(w.liveRows()[0]->addButton()->text(), "Add & record +");
    for (EntryRow* r : w.entryRows()) {
        EXPECT_FALSE(r->audioButton()->isEnabled()) << "recording entries keep their audio";
        EXPECT_FALSE(r->startButton()->isVisibleTo(r));
        EXPECT_FALSE(r->statusTexts().isEmpty()) << "the file name shows";
    }
    // An entry removed from the session's recorders but still listed is offered "Start".
    w.entryRows()[1]->removeButton()->click();
    ASSERT_EQ(model->windows().entries().size(), 1u);
    w.liveRows()[0]->addButton()->click(); // joins the running session at once
    EXPECT_TRUE(lc::test::waitUntil(
        [&] { return model->windows().entries().size() == 2 && model->windows().entries()[1].isRecording; },
        3s));
    run(model->session().stop());
    EXPECT_EQ(w.liveRows().size(), 1u);
    EXPECT_EQ(w.liveRows()[0]->addButton()->text(), "Add +");
}

// --- Export bar and history ------------------------------------------------------------------

TEST_F(UiFixture, ExportBarStates) {
    MainWindow& w = makeWindow();
    ExportBar* bar = w.exportBar();
    EXPECT_FALSE(bar->isVisibleTo(&w)) << "idle, no session yet";

    const QString folder = QDir(root).filePath("2024-01-01 10-00-00");
    bar->render(ExportState::idle(), folder, false);
    EXPECT_FALSE(bar->isVisibleTo(&w)) << "no session.json yet";
    touch(QDir(folder).filePath("session.json"));
    bar->render(ExportState::idle(), folder, false);
    EXPECT_TRUE(bar->isVisibleTo(&w));
    EXPECT_TRUE(bar->exportButton()->isVisibleTo(bar));
    EXPECT_TRUE(bar->exportButton()->isEnabled());
    EXPECT_FALSE(bar->progressBar()->isVisibleTo(bar));
    bar->render(ExportState::idle(), folder, true);
    EXPECT_FALSE(bar->isVisibleTo(&w)) << "hidden during the next session";

    bar->render(ExportState::running(0.426), folder, false);
    EXPECT_TRUE(bar->isVisibleTo(&w));
    EXPECT_FALSE(bar->exportButton()->isEnabled());
    EXPECT_TRUE(bar->progressBar()->isVisibleTo(bar));
    EXPECT_EQ(bar->progressBar()->width(), 160);
    EXPECT_EQ(bar->percentLabel()->text(), "42%");
    EXPECT_TRUE(bar->cancelButton()->isVisibleTo(bar));

    bar->render(ExportState::done(QDir(folder).filePath("Loomcast Final 2.mp4")), folder, false);
    EXPECT_FALSE(bar->progressBar()->isVisibleTo(bar));
    EXPECT_EQ(bar->fileLabel()->text(), "Loomcast Final 2.mp4");
    EXPECT_EQ(bar->revealButton()->text(), "Show in Folder");
    EXPECT_TRUE(bar->revealButton()->isVisibleTo(bar));

    bar->render(ExportState::failed("Export cancelled"), std::nullopt, true);
    EXPECT_TRUE(bar->isVisibleTo(&w)) << "a finished export stays visible";
    EXPECT_FALSE(bar->exportButton()->isVisibleTo(bar));
    EXPECT_EQ(bar->messageLabel()->text(), "Export cancelled");
    EXPECT_TRUE(bar->messageLabel()->isVisibleTo(bar));
}

TEST_F(UiFixture, HistoryListsTwelveAndStartsExports) {
    MainWindow& w = makeWindow();
    w.show();
    view().setShowHistory(true);
    HistoryPopover* history = w.historyPopover();
    ASSERT_NE(history, nullptr);
    EXPECT_TRUE(history->folders().isEmpty());
    EXPECT_FALSE(history->findChildren<QLabel*>().isEmpty());
    bool empty = false;
    for (QLabel* l : history->findChildren<QLabel*>())
        empty |= l->text() == "No sessions yet.";
    EXPECT_TRUE(empty);
    view().setShowHistory(false);
    EXPECT_FALSE(history->isVisible());

    // The model's session root, not the default one under the videos folder.
    for (int i = 0; i < 13; ++i)
        touch(QDir(root).filePath(QString("2024-01-%1 10-00-00/session.json").arg(i + 10)));
    view().setShowHistory(true);
    ASSERT_EQ(history->folders().size(), 12);
    EXPECT_TRUE(history->folders().front().endsWith("2024-01-22 10-00-00"));
    ASSERT_EQ(history->exportButtons().size(), 12);

    history->exportButtons().front()->click();
    EXPECT_FALSE(view().showHistory());
    EXPECT_NE(exporter->state().kind, ExportState::Kind::idle);
    EXPECT_TRUE(w.exportBar()->isVisibleTo(&w)) << "its progress or result shows in the export bar";
    EXPECT_TRUE(lc::test::waitUntil([&] { return !exporter->state().isRunning(); }, 10s));
    EXPECT_EQ(exporter->state().kind, ExportState::Kind::failed) << "the folder holds no recordings";
    EXPECT_TRUE(w.exportBar()->messageLabel()->isVisibleTo(w.exportBar()));

    offer({win(11, "Editor", "Notes")}, 1);
    run(model->session().start());
    view().setShowHistory(true);
    for (QAbstractButton* b : history->exportButtons())
        EXPECT_FALSE(b->isEnabled()) << "not during a session";
    run(model->session().stop());
}

// --- Tray menu, permissions, closing ---------------------------------------------------------

TEST_F(UiFixture, TrayMenuRecordItem) {
    make();
    int shown = 0, quits = 0;
    TrayItem tray(
        *model, [&] { ++shown; }, [&] { ++quits; });
    const QList<QAction*> items = tray.menu()->actions();
    ASSERT_EQ(items.size(), 5);
    EXPECT_EQ(items[1], tray.pauseAction());
    EXPECT_FALSE(tray.pauseAction()->isVisible()) << "only during a session";
    EXPECT_TRUE(items[2]->isSeparator());
    EXPECT_EQ(items[3]->text(), "Show Loomcast");
    EXPECT_EQ(items[4]->text(), "Quit Loomcast");
    EXPECT_EQ(tray.recordAction()->text(), "Start recording");
    EXPECT_FALSE(tray.recordAction()->isEnabled()) << "nothing to record";
    EXPECT_EQ(tray.symbol(), "record.circle");

    offer({win(11, "Editor", "Notes")}, 1);
    EXPECT_TRUE(tray.recordAction()->isEnabled());
    run(model->session().start());
    EXPECT_EQ(tray.recordAction()->text(), "Stop recording (00:00)");
    EXPECT_EQ(tray.symbol(), "record.circle.fill");
    // Pause and resume from the menu; the time is held and says so.
    ASSERT_TRUE(tray.pauseAction()->isVisible());
    EXPECT_EQ(tray.pauseAction()->text(), "Pause recording");
    tray.pauseAction()->trigger();
    EXPECT_TRUE(model->session().isPaused());
    EXPECT_EQ(tray.pauseAction()->text(), "Resume recording");
    EXPECT_EQ(tray.recordAction()->text(), "Stop recording (paused 00:00)");
    EXPECT_EQ(tray.timeText(), "Paused 00:00");
    tray.pauseAction()->trigger();
    EXPECT_FALSE(model->session().isPaused());
    EXPECT_EQ(tray.pauseAction()->text(), "Pause recording");
    offer({});
    EXPECT_TRUE(tray.recordAction()->isEnabled()) << "a session can always be stopped";
    tray.recordAction()->trigger();
    EXPECT_TRUE(
        lc::test::waitUntil([&] { return !model->session().isRecording() && !model->session().busy(); }, 5s));
    EXPECT_EQ(tray.recordAction()->text(), "Start recording");
    EXPECT_TRUE(tray.timeText().isEmpty());

    tray.showAction()->trigger();
    tray.quitAction()->trigger();
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(quits, 1);
}

TEST_F(UiFixture, PermissionsViewStandsInWithoutScreenCapture) {
    desktop->captureOK = false;
    MainWindow& w = makeWindow();
    run(model->windows().refresh(false));
    EXPECT_TRUE(w.permissionsView()->isVisibleTo(&w));
    EXPECT_FALSE(w.mainContent()->isVisibleTo(&w));
    const auto rows = w.permissionsView()->rows();
    ASSERT_EQ(rows.size(), 3);
    EXPECT_EQ(rows[0], (std::pair<QString, bool>{"Window control", false}));
    EXPECT_EQ(rows[1], (std::pair<QString, bool>{"Microphone", true}));
    EXPECT_EQ(rows[2], (std::pair<QString, bool>{"Screen Recording", false}));
    EXPECT_TRUE(w.banner()->isVisibleTo(w.mainContent())) << "window control is off";

    desktop->captureOK = true;
    run(model->windows().refresh(false));
    EXPECT_FALSE(w.permissionsView()->isVisibleTo(&w));
    EXPECT_TRUE(w.mainContent()->isVisibleTo(&w));
}

TEST_F(UiFixture, ClosingTheWindowHidesIt) {
    MainWindow& w = makeWindow();
    QSignalSpy quit(&w, &MainWindow::quitRequested);
    w.show();
    w.close();
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(quit.count(), 0);
    w.setQuitOnClose([] { return true; });
    w.show();
    w.close();
    EXPECT_EQ(quit.count(), 1) << "without a tray there is no way back";
}

TEST_F(UiFixture, ListsFitTheirRowsUpToTheirLimit) {
    MainWindow& w = makeWindow();
    w.show();
    std::vector<ShareableWindow> many;
    for (std::uint32_t i = 1; i <= 20; ++i)
        many.push_back(win(i, "App" + std::to_string(i), "Window " + std::to_string(i)));
    offer(many, 1);
    settle();
    ASSERT_TRUE(lc::test::waitUntil([&] { return w.selectedList()->height() > 20; }, 1s));
    const int one = w.selectedList()->height();
    EXPECT_LT(one, 100) << "exactly one row high";
    EXPECT_TRUE(lc::test::waitUntil([&] { return w.availableList()->height() == 200; }, 1s))
        << "nineteen windows scroll at 200, not " << w.availableList()->height();
    for (int i = 0; i < 19; ++i)
        model->add(model->windows().pickerWindows().front());
    // Twenty chosen would scroll at 380; with the window-control banner the window reaches its
    // cap first and the list gives up the rest.
    EXPECT_TRUE(lc::test::waitUntil([&] { return w.selectedList()->sizeHint().height() == 380; }, 1s))
        << w.selectedList()->sizeHint().height();
    EXPECT_TRUE(lc::test::waitUntil([&] { return w.height() == MainWindow::kMaxHeight; }, 1s)) << w.height();
    EXPECT_GT(w.selectedList()->height(), 300);
    w.banner()->hide();
    EXPECT_TRUE(lc::test::waitUntil([&] { return w.selectedList()->height() == 380; }, 1s))
        << "without it the list is 380 high, not " << w.selectedList()->height();
    EXPECT_TRUE(lc::test::waitUntil([&] { return w.availableList()->height() < 100; }, 1s));
}

TEST_F(UiFixture, WindowResizesAndTheListsTakeTheHeight) {
    MainWindow& w = makeWindow();
    offer({win(11, "Editor", "Notes"), win(22, "Browser", "Docs"), win(33, "Mail", "Inbox")}, 2);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    // At first the window is its content's size, the designed width its least.
    ASSERT_TRUE(lc::test::waitUntil([&] { return w.size() == w.sizeHint(); }, 2s))
        << w.width() << "x" << w.height() << " vs " << w.sizeHint().width() << "x" << w.sizeHint().height();
    EXPECT_EQ(w.width(), MainWindow::kWidth);
    EXPECT_EQ(w.minimumWidth(), MainWindow::kWidth);
    EXPECT_TRUE(w.followsContent());
    const int selected = w.selectedList()->height(), available = w.availableList()->height();
    const int rowWidth = w.entryRows()[0]->width();

    // Larger: the lists take the height, the rows the width; the other rows keep theirs.
    const int header = w.recordButton()->height();
    w.resize(1000, w.height() + 300);
    ASSERT_TRUE(
        lc::test::waitUntil([&] { return w.width() == 1000 && w.selectedList()->height() > selected; }, 2s));
    const QSize sized = w.size();
    EXPECT_FALSE(w.followsContent()) << "sized by the user";
    EXPECT_GT(w.availableList()->height(), available);
    EXPECT_EQ(w.selectedList()->height() - selected + w.availableList()->height() - available, 300);
    EXPECT_EQ(w.recordButton()->height(), header);
    EXPECT_EQ(w.entryRows()[0]->width(), rowWidth + 1000 - MainWindow::kWidth);
    EXPECT_EQ(w.entryRows()[0]->y(), 2) << "the rows stay at the top of a taller list";
    // A window added later no longer resizes it.
    offer({win(11, "Editor", "Notes"), win(22, "Browser", "Docs"), win(33, "Mail", "Inbox"),
           win(44, "Term", "sh")});
    settle();
    EXPECT_EQ(w.size(), sized);

    // Down to its least size: every row still shows, the lists scroll.
    w.resize(w.minimumSize());
    ASSERT_TRUE(lc::test::waitUntil([&] { return w.size() == w.minimumSize(); }, 2s));
    EXPECT_EQ(w.width(), MainWindow::kWidth);
    EXPECT_LT(w.height(), w.sizeHint().height());
    for (FitScroll* list : {w.selectedList(), w.availableList()})
        EXPECT_GE(list->height(), std::min(MainWindow::kListMinimum, list->sizeHint().height()));
    EXPECT_GT(w.selectedList()->verticalScrollBar()->maximum(), 0);
    EXPECT_EQ(w.mainContent()->geometry(), w.rect()) << "the content fits the window";
    EXPECT_EQ(w.recordButton()->height(), header);
}

TEST_F(UiFixture, ManyWindowsScrollInsteadOfGrowingPastASmallScreen) {
    MainWindow& w = makeWindow();
    std::vector<ShareableWindow> many;
    for (std::uint32_t i = 1; i <= 30; ++i)
        many.push_back(win(i, "App" + std::to_string(i), "Window " + std::to_string(i)));
    w.show();
    offer(many, 12);
    // A notice, the banner and the export bar, all at once: the tallest the content gets.
    model->setNotice(QStringLiteral("A long notice that wraps onto a second line of text in the window, "
                                    "as a failure to start a recorder would."));
    touch(QDir(root).filePath("2024-01-01 10-00-00/session.json"));
    w.exportBar()->render(ExportState::running(0.5), QDir(root).filePath("2024-01-01 10-00-00"), false);
    ASSERT_TRUE(w.banner()->isVisibleTo(&w)) << "window control is off with these fakes";
    settle();
    ASSERT_TRUE(
        lc::test::waitUntil([&] { return w.selectedList()->verticalScrollBar()->maximum() > 0; }, 2s));
    EXPECT_LE(w.sizeHint().width(), 1366);
    EXPECT_LE(w.sizeHint().height(), 720);
    EXPECT_TRUE(lc::test::waitUntil([&] { return w.height() == w.sizeHint().height(); }, 2s)) << w.height();
    EXPECT_EQ(w.sizeHint().height(), MainWindow::kMaxHeight) << "both lists scroll at the cap";
    EXPECT_GT(w.availableList()->verticalScrollBar()->maximum(), 0);
}

TEST_F(UiFixture, SettingsPageScrollsAtTheWindowsLeastSize) {
    MainWindow& w = makeWindow();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    view().setShowSettings(true);
    SettingsView* page = w.settingsView();
    ASSERT_NE(page, nullptr);
    w.resize(w.minimumSize());
    ASSERT_TRUE(lc::test::waitUntil([&] { return w.size() == w.minimumSize(); }, 2s));
    settle();
    EXPECT_LE(w.minimumHeight(), 300) << "the page asks for little room of its own";
    EXPECT_EQ(page->geometry(), w.rect());
    QScrollBar* bar = page->scrollArea()->verticalScrollBar();
    EXPECT_GT(bar->maximum(), 0);
    page->scrollToKey(QString("shortcuts"), false);
    EXPECT_EQ(page->scrollPosition(), std::min(bar->maximum(), page->rowTop("shortcuts")));
    EXPECT_GT(page->scrollPosition(), 0);
    // Wider, the sections stay at their width in the middle.
    w.resize(1200, 500);
    ASSERT_TRUE(lc::test::waitUntil([&] { return page->width() == 1200; }, 2s));
    QWidget* form = page->recordingSection()->parentWidget();
    EXPECT_LE(form->width(), SettingsView::kFormWidth);
    EXPECT_NEAR(form->mapTo(page, QPoint(0, 0)).x() + form->width() / 2, 600, 20);
}

TEST_F(UiFixture, PausedSessionShowsInThePillTheRecordButtonAndItsPauseButton) {
    makeWindow();
    offer({win(11, "Editor", "Notes")}, 1);
    run(model->session().start());
    auto* pill = window->findChild<StatusPill*>();
    auto* button = window->findChild<RecordButton*>();
    ASSERT_TRUE(pill && button);
    EXPECT_EQ(pill->text(), "Recording 00:00");
    // The button beside the record button pauses and resumes.
    SymbolButton* pause = window->pauseButton();
    ASSERT_TRUE(pause->isVisibleTo(window.get()));
    EXPECT_EQ(pause->toolTip(), "Pause recording");
    pause->click();
    EXPECT_TRUE(model->session().isPaused());
    EXPECT_EQ(pill->text(), "Paused 00:00");
    EXPECT_TRUE(pill->isRed());
    EXPECT_EQ(button->text(), "Paused \u2014 Stop Recording");
    EXPECT_EQ(pause->symbol(), "play.fill");
    EXPECT_EQ(pause->toolTip(), "Resume recording");
    model->togglePause();
    EXPECT_EQ(pill->text(), "Recording 00:00");
    EXPECT_EQ(button->text(), "Stop Recording");
    EXPECT_EQ(pause->symbol(), "pause.fill");
    run(model->session().stop());
    EXPECT_FALSE(pause->isVisibleTo(window.get())) << "only during a session";
}

TEST_F(UiFixture, ShortcutRowsChangeClearAndSayWhatIsTaken) {
    make();
    using A = ShortcutAction;
    ShortcutsSection section(*model);
    section.show();
    EXPECT_EQ(section.comboLabel(A::startStop)->text(), "Ctrl+Alt+R");
    EXPECT_EQ(section.comboLabel(A::pauseResume)->text(), "Ctrl+Alt+P");
    EXPECT_TRUE(section.errorLabel(A::startStop)->isHidden());

    // Change: the next complete combination pressed; modifiers alone and plain letters wait.
    section.changeButton(A::startStop)->click();
    ASSERT_EQ(section.listening(), A::startStop);
    EXPECT_TRUE(keys->bound.empty()) << "the old combination must reach the field";
    QTest::keyClick(&section, Qt::Key_Control, Qt::ControlModifier);
    EXPECT_EQ(section.listening(), A::startStop);
    QTest::keyClick(&section, Qt::Key_K);
    EXPECT_EQ(section.listening(), A::startStop);
    EXPECT_EQ(section.errorLabel(A::startStop)->text(), "K needs Ctrl, Alt or Super");
    QTest::keyClick(&section, Qt::Key_F8, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_FALSE(section.listening());
    EXPECT_EQ(model->settings().shortcutStartStop(), "Ctrl+Shift+F8");
    EXPECT_EQ(keys->text(A::startStop), "Ctrl+Shift+F8") << "in force at once";
    EXPECT_EQ(keys->text(A::pauseResume), "Ctrl+Alt+P");
    EXPECT_EQ(section.comboLabel(A::startStop)->text(), "Ctrl+Shift+F8");

    // Escape gives up and keeps what was there.
    section.changeButton(A::pauseResume)->click();
    QTest::keyClick(&section, Qt::Key_Escape);
    EXPECT_FALSE(section.listening());
    EXPECT_EQ(keys->text(A::pauseResume), "Ctrl+Alt+P");

    // Taken by another program: the row says so.
    keys->taken.insert("Alt+Super+9");
    section.changeButton(A::pauseResume)->click();
    QTest::keyClick(&section, Qt::Key_9, Qt::AltModifier | Qt::MetaModifier);
    EXPECT_EQ(model->settings().shortcutPauseResume(), "Alt+Super+9");
    EXPECT_FALSE(section.errorLabel(A::pauseResume)->isHidden());
    EXPECT_EQ(section.errorLabel(A::pauseResume)->text(), "Alt+Super+9 is used by another program");

    section.clearButton(A::pauseResume)->click();
    EXPECT_EQ(model->settings().shortcutPauseResume(), "");
    EXPECT_EQ(section.comboLabel(A::pauseResume)->text(), "Off");
    EXPECT_TRUE(section.errorLabel(A::pauseResume)->isHidden());
    EXPECT_FALSE(section.clearButton(A::pauseResume)->isEnabled());

    // The settings page holds the section.
    makeWindow();
    SettingsView settings(*model, view(), nullptr);
    EXPECT_TRUE(settings.shortcutsSection());
}

TEST(ShortcutKeyPress, KeysAndModifiersBecomeCombinations) {
    EXPECT_EQ(shortcutFromKeyPress(Qt::Key_R, Qt::ControlModifier | Qt::AltModifier)->text(), "Ctrl+Alt+R");
    EXPECT_EQ(shortcutFromKeyPress(Qt::Key_F12, Qt::MetaModifier)->text(), "Super+F12");
    EXPECT_EQ(shortcutFromKeyPress(Qt::Key_PageDown, Qt::ShiftModifier)->text(), "Shift+PageDown");
    EXPECT_EQ(shortcutFromKeyPress(Qt::Key_Space, Qt::ControlModifier)->text(), "Ctrl+Space");
    EXPECT_EQ(shortcutFromKeyPress(Qt::Key_0, Qt::AltModifier)->text(), "Alt+0");
    EXPECT_FALSE(shortcutFromKeyPress(Qt::Key_Shift, Qt::ShiftModifier)) << "not complete yet";
    EXPECT_FALSE(shortcutFromKeyPress(Qt::Key_Alt, Qt::AltModifier));
    EXPECT_FALSE(shortcutFromKeyPress(Qt::Key_Tab, Qt::ControlModifier)) << "no combination uses it";
    // Every one of them reads back as what it is.
    for (int key :
         {int(Qt::Key_A), int(Qt::Key_Z), int(Qt::Key_F1), int(Qt::Key_Print), int(Qt::Key_Delete)}) {
        const auto combo = shortcutFromKeyPress(key, Qt::ControlModifier);
        ASSERT_TRUE(combo);
        EXPECT_EQ(Shortcut::parse(combo->text()), combo) << combo->text();
    }
}
