// "--snapshot" with "--probe" on a private X display with openbox: three test windows chosen and
// a fourth left available, the plain main window and the size picker, the settings page in the
// window (at its top, on the container row, on the microphone), the history, a running session, an export
// running and one that failed, and the window-control banner (on a display without a window
// manager), in the light and the dark appearance. The pictures stay in <build>/ui-snapshots for
// people to look at.
#include "TestSupport.h"
#include "X11TestSupport.h"
#include "session/SessionDocument.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace lc::test;

namespace {

QString loomcast() {
    return qEnvironmentVariable("LC_BUILD_DIR") + "/src/app/loomcast";
}

QString shotDir() {
    const QString dir = qEnvironmentVariable("LC_BUILD_DIR") + "/ui-snapshots";
    QDir().mkpath(dir);
    return dir;
}

struct ModeRun {
    int exitCode = -1;
    QString lastLine;
    QString state; // the probe's "state: …" line
};

// Counts pixels matching `test`.
template <class F> int countPixels(const QImage& image, F test) {
    int n = 0;
    for (int y = 0; y < image.height(); y += 2)
        for (int x = 0; x < image.width(); x += 2)
            n += test(image.pixelColor(x, y));
    return n;
}

class UiSnapshots : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!haveTestEnv()) return;
        display = std::make_unique<PrivateDisplay>();
        home = std::make_unique<QTemporaryDir>();
        const QStringList common{"--animate"};
        windows.push_back(
            std::make_unique<TestWindow>(QStringList{"--title", "Alpha Editor", "--class", "Alpha", "--size",
                                                     "900x600", "--pos", "40,40"} +
                                         common));
        windows.push_back(
            std::make_unique<TestWindow>(QStringList{"--title", "Beta Browser", "--class", "Beta", "--size",
                                                     "640x900", "--pos", "300,80"} +
                                         common));
        windows.push_back(
            std::make_unique<TestWindow>(QStringList{"--title", "Gamma Mail", "--class", "Gamma", "--size",
                                                     "800x500", "--pos", "600,300"} +
                                         common));
        windows.push_back(std::make_unique<TestWindow>(QStringList{
            "--title", "Delta Notes", "--class", "Delta", "--size", "500x400", "--pos", "900,500"}));
        // Three finished sessions for the history: today, yesterday and an older one, each
        // with its windows taking turns.
        const QDateTime now = QDateTime::currentDateTimeUtc();
        const std::vector<std::pair<QDateTime, int>> sessions{
            {now.addSecs(-600), 3}, {now.addDays(-1), 2}, {now.addDays(-9), 4}};
        for (const auto& [start, count] : sessions) {
            const QString folder =
                QDir(home->path())
                    .filePath("Videos/Loomcast/" + start.toLocalTime().toString("yyyy-MM-dd HH-mm-ss"));
            QDir().mkpath(folder);
            lc::SessionDocument doc;
            doc.sessionStart = start.toString(Qt::ISODate);
            const QStringList titles{"Alpha Editor", "Beta Browser", "Gamma Mail", "Delta Notes"};
            for (int i = 0; i < count; ++i) {
                lc::SessionRecording r;
                r.file = titles[i] + ".mov";
                r.windowTitle = titles[i];
                r.app = titles[i].section(' ', 0, 0);
                r.width = 1280;
                r.height = 720;
                r.startOffset = 0.2 * i;
                r.duration = 151 - 0.2 * i;
                doc.recordings.push_back(r);
            }
            for (int k = 0; k < 7; ++k)
                doc.focus.push_back(
                    {k * 21.0, titles[(k + k / 3) % count] + ".mov", titles[(k + k / 3) % count]});
            ASSERT_TRUE(lc::writeSessionDocument(folder, doc).ok());
        }
    }
    static void TearDownTestSuite() {
        windows.clear();
        display.reset();
        home.reset();
    }

    void SetUp() override {
        LC_REQUIRE_TEST_ENV();
        ASSERT_TRUE(display && display->ok()) << (display ? display->error().toStdString() : "");
        for (const auto& w : windows)
            ASSERT_TRUE(w->ok());
    }

    static ModeRun snapshot(const QString& name, const QStringList& extra, const QString& rawShot = {},
                            const QString& sessions = {}) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home->path());
        env.insert("XDG_CONFIG_HOME", QDir(home->path()).filePath(".config"));
        env.insert("XDG_DATA_HOME", QDir(home->path()).filePath(".local/share"));
        env.remove("LOOMCAST_SESSIONS_DIR");
        if (!sessions.isEmpty()) env.insert("LOOMCAST_SESSIONS_DIR", sessions);
        if (!rawShot.isEmpty()) env.insert("LC_RAW_SHOT", rawShot);
        p.setProcessEnvironment(env);
        p.start(loomcast(), QStringList{"--snapshot", QDir(shotDir()).filePath(name)} + extra);
        ModeRun r;
        if (!p.waitForFinished(60000)) {
            p.kill();
            p.waitForFinished();
            return r;
        }
        r.exitCode = p.exitCode();
        const QStringList lines =
            QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        r.lastLine = lines.isEmpty() ? QString() : lines.last();
        for (const QString& line : lines)
            if (line.startsWith("state: ")) r.state = line;
        return r;
    }

    static ModeRun probe(const QString& name, const QString& appearance, const QString& open,
                         const QString& rawShot = {}, const QStringList& extra = {},
                         const QString& sessions = {}) {
        QStringList args{"--probe", "Alpha,Beta,Gamma", "--only",  "Alpha,Beta,Gamma,Delta", "--presets",
                         "1,0,2",   "--appearance",     appearance};
        if (!open.isEmpty()) args << "--open" << open;
        return snapshot(name, args + extra, rawShot, sessions);
    }

    // The picture: the main window 580 points wide at twice its size, in the asked appearance.
    static QImage checkPicture(const QString& name, const ModeRun& run, int windowsShown, bool light,
                               int minimumRed = 5000) {
        EXPECT_EQ(run.exitCode, 0) << name.toStdString();
        const QRegularExpression ok(
            "^ok windows=(\\d+) (\\d+)x(\\d+) display=\\(.*\\) union=\\(.*\\) img=3840x2160$");
        const auto m = ok.match(run.lastLine);
        EXPECT_TRUE(m.hasMatch()) << run.lastLine.toStdString();
        EXPECT_EQ(m.captured(1).toInt(), windowsShown) << run.lastLine.toStdString();
        QImage image(QDir(shotDir()).filePath(name));
        EXPECT_FALSE(image.isNull()) << name.toStdString();
        if (image.isNull()) return image;
        EXPECT_EQ(image.width(), m.captured(2).toInt());
        EXPECT_EQ(image.height(), m.captured(3).toInt());
        EXPECT_GE(image.width(), 1160) << "the main window at twice its width";
        EXPECT_GE(image.height(), 600);
        // The window's background, left of the header, below the menu bar.
        const QColor background = image.pixelColor(12, 200);
        if (light)
            EXPECT_GT(background.lightness(), 200) << name.toStdString();
        else
            EXPECT_LT(background.lightness(), 60) << name.toStdString();
        // The red record button is there.
        const int red =
            countPixels(image, [](QColor c) { return c.red() > 180 && c.green() < 80 && c.blue() < 80; });
        EXPECT_GT(red, minimumRed) << name.toStdString();
        return image;
    }

    static inline std::unique_ptr<PrivateDisplay> display;
    static inline std::unique_ptr<QTemporaryDir> home;
    static inline std::vector<std::unique_ptr<TestWindow>> windows;
};

// The selection colour of either appearance (the test windows' blue is darker).
int accentPixels(const QImage& image) {
    return countPixels(image, [](QColor c) {
        return c.hsvHue() >= 206 && c.hsvHue() <= 215 && c.hsvSaturation() > 150 && c.value() > 190;
    });
}

} // namespace

TEST_F(UiSnapshots, MainWindowWithThreeChosenWindows) {
    const QString raw = QDir(shotDir()).filePath("main-light-raw.png");
    QFile::remove(raw);
    for (const QString& appearance : {"light", "dark"}) {
        const QString name = "main-" + appearance + ".png";
        const ModeRun run = probe(name, appearance, {}, raw);
        const QImage image = checkPicture(name, run, 1, appearance == "light");
        // Three rows with previews of the blue test pattern, and no popover.
        const int blue = countPixels(image, [](QColor c) {
            return c.blue() > 150 && c.red() < 90 && c.green() > 70 && c.green() < 130;
        });
        EXPECT_GT(blue, 1000) << "window previews";
        EXPECT_EQ(accentPixels(image), 0) << "nothing selected, nothing open";
        EXPECT_EQ(run.state, "state: idle export=hidden banner=hidden");
    }
    const QImage full(raw);
    EXPECT_EQ(full.size(), QSize(3840, 2160)) << "LC_RAW_SHOT holds the whole display";
}

TEST_F(UiSnapshots, PresetPicker) {
    for (const QString& appearance : {"light", "dark"}) {
        const QString name = "preset-" + appearance + ".png";
        const QImage image = checkPicture(name, probe(name, appearance, "preset"), 2, appearance == "light");
        EXPECT_GT(accentPixels(image), 200) << "the first entry's size card is marked";
    }
}

TEST_F(UiSnapshots, SettingsPageInTheWindow) {
    for (const QString& appearance : {"light", "dark"}) {
        for (const auto& [open, file] : {std::pair{"settings", "general"}, std::pair{"settings:mic", "mic"},
                                         std::pair{"settings:container", "container"}}) {
            const QString name = QString("settings-%1-%2.png").arg(file, appearance);
            const ModeRun run = probe(name, appearance, open);
            // The page in the main window, no window of its own; it stands in for the content,
            // so the red record button is not on screen.
            const QImage image = checkPicture(name, run, 1, appearance == "light", -1);
            EXPECT_EQ(run.state, "state: idle export=hidden banner=hidden page=settings")
                << name.toStdString();
            const int red =
                countPixels(image, [](QColor c) { return c.red() > 180 && c.green() < 80 && c.blue() < 80; });
            EXPECT_LT(red, 200) << name.toStdString();
        }
    }
}

TEST_F(UiSnapshots, RecordingWithItsTime) {
    for (const QString& appearance : {"light", "dark"}) {
        const QString name = "recording-" + appearance + ".png";
        const QString sessions = QDir(home->path()).filePath("recorded-" + appearance);
        const ModeRun run = probe(name, appearance, {}, {}, {"--record"}, sessions);
        checkPicture(name, run, 1, appearance == "light");
        const QRegularExpression state("^state: recording (\\d\\d):(\\d\\d) export=hidden banner=hidden$");
        const auto m = state.match(run.state);
        ASSERT_TRUE(m.hasMatch()) << run.state.toStdString();
        EXPECT_GE(m.captured(1).toInt() * 60 + m.captured(2).toInt(), 3) << "a few seconds on the clock";
        // A real session of the three windows, finished before the program ended.
        const QStringList folders = QDir(sessions).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        ASSERT_EQ(folders.size(), 1);
        const auto doc = lc::SessionDocument::read(QDir(sessions).filePath(folders.front()));
        ASSERT_TRUE(doc.ok()) << doc.error().message;
        EXPECT_EQ(doc.value().recordings.size(), 3u);
        EXPECT_FALSE(QFileInfo::exists(QDir(sessions).filePath(folders.front() + "/.recording")))
            << "the session ended cleanly";
    }
}

TEST_F(UiSnapshots, ExportRunningAlongTheTimelineAndFailed) {
    for (const QString& appearance : {"light", "dark"}) {
        const QString running = "exporting-" + appearance + ".png";
        const ModeRun shown = probe(running, appearance, {}, {}, {"--show-export", "running:0.42"});
        checkPicture(running, shown, 1, appearance == "light");
        EXPECT_EQ(shown.state, "state: idle export=running 42% banner=hidden");

        // The history's sessions name files that are not there: a real export fails on them.
        const QString failed = "export-failed-" + appearance + ".png";
        const ModeRun ended = probe(failed, appearance, {}, {}, {"--show-export", "failed"});
        checkPicture(failed, ended, 1, appearance == "light");
        EXPECT_TRUE(ended.state.startsWith("state: idle export=failed ")) << ended.state.toStdString();
        EXPECT_GT(ended.state.size(), QString("state: idle export=failed  banner=hidden").size())
            << "with its reason";
    }
}

TEST_F(UiSnapshots, WindowControlBannerWithoutAWindowManager) {
    // A display of its own, with no window manager to move windows: the same windows on it.
    PrivateDisplay bare({"--no-pulse", "--no-wm"});
    ASSERT_TRUE(bare.ok()) << bare.error().toStdString();
    std::vector<std::unique_ptr<TestWindow>> own;
    for (const QString& title : {"Alpha Editor", "Beta Browser", "Gamma Mail"}) {
        own.push_back(std::make_unique<TestWindow>(
            QStringList{"--title", title, "--class", title.section(' ', 0, 0), "--size", "640x400"}));
        ASSERT_TRUE(own.back()->ok());
    }
    for (const QString& appearance : {"light", "dark"}) {
        const QString name = "banner-" + appearance + ".png";
        const ModeRun run = probe(name, appearance, {});
        const QImage image = checkPicture(name, run, 1, appearance == "light");
        EXPECT_EQ(run.state, "state: idle export=hidden banner=shown");
        // The banner's warning symbol in this appearance's orange: the windows here stand still,
        // so their previews hold none.
        const int orange = countPixels(image, [](QColor c) {
            return c.hsvHue() >= 20 && c.hsvHue() <= 40 && c.hsvSaturation() > 150 && c.value() > 140;
        });
        EXPECT_GT(orange, 30) << name.toStdString();
    }
}

TEST_F(UiSnapshots, History) {
    for (const QString& appearance : {"light", "dark"}) {
        const QString name = "history-" + appearance + ".png";
        const QImage image = checkPicture(name, probe(name, appearance, "history"), 2, appearance == "light");
        // The second window's segments of the focus timelines, in this appearance's orange.
        const QColor orange = appearance == "light" ? QColor(0xC2, 0x41, 0x0C) : QColor(0xFB, 0x92, 0x3C);
        const int segments = countPixels(image, [&](QColor c) {
            return std::abs(c.red() - orange.red()) + std::abs(c.green() - orange.green()) +
                       std::abs(c.blue() - orange.blue()) <
                   24;
        });
        EXPECT_GT(segments, 100) << name.toStdString();
    }
}

TEST_F(UiSnapshots, PlainSnapshotRendersTheMainWindow) {
    const ModeRun run = snapshot("plain.png", {});
    EXPECT_EQ(run.exitCode, 0);
    const QRegularExpression ok("^ok 580x(\\d+)$");
    const auto m = ok.match(run.lastLine);
    ASSERT_TRUE(m.hasMatch()) << run.lastLine.toStdString();
    const QImage image(QDir(shotDir()).filePath("plain.png"));
    EXPECT_EQ(image.size(), QSize(580, m.captured(1).toInt()));
}
