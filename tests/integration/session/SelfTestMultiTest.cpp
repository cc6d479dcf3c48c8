// The multi-window self-test of the real program on real windows (Xvfb + openbox + PulseAudio):
// four test windows, two joining during the session, mixed presets, focus switched with
// xdotool at known times; then the session folder is checked against what really happened.
#include "TestPattern.h"
#include "TestSupport.h"
#include "X11TestSupport.h"
#include "capture/Timecode.h"
#include "common/Clock.h"
#include "model/Preset.h"
#include "platform/x11/X11Desktop.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSize>
#include <QTemporaryDir>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <thread>
#include <xcb/composite.h>
#include <xcb/xcb.h>

using namespace lc;
using namespace lc::test;

namespace {

namespace pat = lc::test::pattern;

struct WindowSpec {
    QString app; // WM_CLASS class: the application name the catalogue shows
    QString title;
    QString size;
    QString colour;
    int tone;
    int preset; // index into the built-in table
};

// Alpha and Beta start with the session; Gamma and Delta join 3 s apart.
const std::vector<WindowSpec> kWindows{
    {"Alpha", "Alpha Window", "960x540", "3366cc", 330, 1},
    {"Beta", "Beta Window", "800x600", "cc6633", 550, 0},
    {"Gamma", "Gamma Window", "600x900", "33cc66", 660, 2},
    {"Delta", "Delta Window", "700x700", "9933cc", 770, 3},
};

QString loomcast() {
    return qEnvironmentVariable("LC_BUILD_DIR") + "/src/app/loomcast";
}

// The wall clock minus the shared clock, to place printed epochs on the shared clock.
double wallMinusUptime() {
    return double(QDateTime::currentMSecsSinceEpoch()) / 1000.0 - uptime();
}

// When each frame counter value of each window was on screen: a thread of this process reads
// the counters (a 128 × 8 strip of each window's own pixels, through Composite, so covered
// windows read right) one window after the other, as fast as it can, while it lives.
class CounterClock {
public:
    explicit CounterClock(std::vector<std::uint32_t> windows)
        : windows_(std::move(windows)), thread_([this] { run(); }) {}
    ~CounterClock() {
        stop_ = true;
        thread_.join();
    }

    // When `counter` may have been on screen: after the last reading of an earlier value began,
    // and before the first reading of a later value ended. However slowly this thread came round,
    // the window showed the value only within these bounds.
    std::optional<std::pair<double, double>> timeOf(std::uint32_t window, std::uint32_t counter) const {
        std::lock_guard lock(mutex_);
        const auto it = samples_.find(window);
        if (it == samples_.end()) return std::nullopt;
        const auto& s = it->second;
        std::optional<double> after;
        for (const Sample& x : s) {
            if (x.counter < counter) after = x.begin;
            if (x.counter > counter) {
                if (!after) return std::nullopt;
                return std::pair(*after, x.end);
            }
        }
        return std::nullopt;
    }

private:
    struct Sample {
        double begin, end;
        std::uint32_t counter;
    };

    void run() {
        xcb_connection_t* c = xcb_connect(nullptr, nullptr);
        const std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> hold(c, &xcb_disconnect);
        if (xcb_connection_has_error(c)) return;
        std::free(xcb_composite_query_version_reply(c, xcb_composite_query_version(c, 0, 4), nullptr));
        for (std::uint32_t w : windows_)
            xcb_composite_redirect_window(c, w, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
        const int width = pat::blockSize * pat::counterBits, height = pat::blockSize;
        while (!stop_) {
            for (std::uint32_t w : windows_) {
                const double begin = uptime();
                const xcb_pixmap_t pixmap = xcb_generate_id(c);
                xcb_composite_name_window_pixmap(c, w, pixmap);
                xcb_get_image_reply_t* image = xcb_get_image_reply(
                    c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, 0, 0, width, height, ~0u),
                    nullptr);
                const double end = uptime();
                xcb_free_pixmap(c, pixmap);
                if (!image) continue;
                const std::unique_ptr<xcb_get_image_reply_t, decltype(&std::free)> imageHold(image,
                                                                                             &std::free);
                if (xcb_get_image_data_length(image) < width * height * 4) continue;
                if (const auto v = pat::decodeCounter(xcb_get_image_data(image), width * 4, width, height)) {
                    std::lock_guard lock(mutex_);
                    samples_[w].push_back({begin, end, *v});
                }
            }
        }
    }

    std::vector<std::uint32_t> windows_;
    mutable std::mutex mutex_;
    std::map<std::uint32_t, std::vector<Sample>> samples_;
    std::atomic<bool> stop_{false};
    std::thread thread_; // last: starts once the rest exists
};

struct Switch {
    double delay;       // after the "started session" line
    std::size_t window; // index into kWindows
    double begin = 0;   // shared clock: the activation began
    double at = 0;      // and was done
};

struct SessionRun {
    QStringList lines;
    int exitCode = -1;
    double startUptime = 0; // the session's zero on the shared clock
    QString folder;
    std::vector<Switch> switches;
    double stall = 0; // the longest the machine's load stood any thread still during the run
};

QJsonObject probe(const QString& path) {
    QProcess p;
    p.start("ffprobe", {"-v", "error", "-print_format", "json", "-show_format", "-show_streams", path});
    p.waitForFinished(60000);
    return QJsonDocument::fromJson(p.readAllStandardOutput()).object();
}

// Decodes every frame; the decoder's complaints, none for a sound file. (The null muxer's own
// remarks about timestamps, and the "repeated" lines that fold them, say nothing about the file.)
QString decodeErrors(const QString& path) {
    QProcess p;
    p.start("ffmpeg", {"-v", "error", "-i", path, "-f", "null", "-"});
    if (!p.waitForFinished(120000)) return "timeout";
    QStringList lines;
    for (const QString& line : QString::fromUtf8(p.readAllStandardError()).split(u'\n', Qt::SkipEmptyParts))
        if (!line.startsWith("[null @") && !line.startsWith("    Last message repeated")) lines << line;
    if (p.exitCode() != 0) lines << "exit code " + QString::number(p.exitCode());
    return lines.join(u'\n');
}

// The counter in a grey picture where the window is drawn scaled by `scale` from (x0, y0).
std::optional<std::uint32_t> counterAt(const QByteArray& y, int width, double scale, double x0, double y0) {
    std::uint32_t value = 0;
    for (int i = 0; i < pat::counterBits; ++i) {
        const int px = int(x0 + scale * (i * pat::blockSize + pat::blockSize / 2.0));
        const int py = int(y0 + scale * (pat::blockSize / 2.0));
        const int luma = std::uint8_t(y[qsizetype(py) * width + px]);
        if (luma > 170)
            value = (value << 1) | 1;
        else if (luma < 80)
            value <<= 1;
        else
            return std::nullopt;
    }
    return value;
}

// The first picture at or after `t` seconds into a recording: its time, and the frame counter
// it shows where the window (of one of `sizes`) is fitted into the frame.
struct Picture {
    double time = -1;
    std::optional<std::uint32_t> counter;
};
Picture pictureAt(const QString& path, int width, int height, const std::vector<QSize>& sizes, double t) {
    QProcess p;
    // Seeking before the input with the file's own times kept: the first picture decoded is the
    // one at or after t, and showinfo names its time.
    p.start("ffmpeg",
            {"-hide_banner", "-v", "info", "-ss", QString::number(t, 'f', 3), "-copyts", "-i", path, "-map",
             "0:v:0", "-vf", "showinfo", "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "gray", "-"});
    p.waitForFinished(60000);
    Picture out;
    static const QRegularExpression ptsTime(R"(pts_time:\s*([0-9.]+))");
    const auto m = ptsTime.match(QString::fromUtf8(p.readAllStandardError()));
    if (m.hasMatch()) out.time = m.captured(1).toDouble();
    const QByteArray y = p.readAllStandardOutput();
    if (y.size() < qsizetype(width) * height) return out;
    for (const QSize& s : sizes) {
        const double scale = std::min(double(width) / s.width(), double(height) / s.height());
        const double x0 = (width - scale * s.width()) / 2, y0 = (height - scale * s.height()) / 2;
        if ((out.counter = counterAt(y, width, scale, x0, y0))) break;
    }
    return out;
}

class SessionSelfTest : public ::testing::Test {
protected:
    void SetUp() override {
        LC_REQUIRE_TEST_ENV();
        ASSERT_TRUE(QFileInfo(loomcast()).isExecutable()) << loomcast().toStdString();
        ASSERT_TRUE(home.isValid());
        if (qEnvironmentVariableIsSet("LC_KEEP_SESSIONS")) {
            home.setAutoRemove(false);
            std::printf("sessions kept in %s\n", qPrintable(home.path()));
        }
        auto d = x11::X11Desktop::connect();
        ASSERT_TRUE(d.ok()) << d.error().message;
        desktop = d.value();
        for (const WindowSpec& w : kWindows) {
            windows.push_back(std::make_unique<TestWindow>(
                QStringList{"--title", w.title, "--class", w.app, "--size", w.size, "--colour", w.colour,
                            "--animate", "--tone", QString::number(w.tone)}));
            ASSERT_TRUE(windows.back()->ok()) << w.title.toStdString();
        }
        skew = wallMinusUptime();
        std::vector<std::uint32_t> ids;
        for (const auto& w : windows)
            ids.push_back(w->id());
        clock = std::make_unique<CounterClock>(ids);
    }

    // When to end the program with SIGTERM: `delay` seconds after it printed a line that starts
    // with `line`.
    struct Termination {
        QString line;
        double delay = 0;
    };

    // Runs the program and acts on the clock of its "started session" line.
    SessionRun run(const QStringList& args, std::vector<Switch> switches,
                   std::optional<Termination> terminate = {}) {
        SessionRun r;
        const StallMeter load;
        r.switches = std::move(switches);
        activate(0); // the first window is in front when the session starts
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LOOMCAST_DATA_HOME", home.filePath("data"));
        env.insert("LOOMCAST_SESSIONS_DIR", home.filePath("Videos/Loomcast"));
        p.setProcessEnvironment(env);
        p.start(loomcast(), args);
        if (!p.waitForStarted(5000)) return r;

        std::optional<double> started, terminateFrom;
        std::size_t nextSwitch = 0;
        bool signalled = false;
        QByteArray pending;
        const double deadline = uptime() + 120;
        while (uptime() < deadline) {
            p.waitForReadyRead(20);
            pending += p.readAllStandardOutput();
            for (qsizetype nl; (nl = pending.indexOf('\n')) >= 0;) {
                const QString line = QString::fromUtf8(pending.left(nl));
                pending.remove(0, nl + 1);
                r.lines << line;
                if (line.startsWith("sessionStartEpoch=")) r.startUptime = line.mid(18).toDouble() - skew;
                if (line.startsWith("started session ")) {
                    r.folder = line.mid(16);
                    started = uptime();
                }
                if (terminate && !terminateFrom && line.startsWith(terminate->line)) terminateFrom = uptime();
            }
            const double now = uptime();
            if (started && nextSwitch < r.switches.size() && now >= *started + r.switches[nextSwitch].delay) {
                const double before = uptime();
                activate(r.switches[nextSwitch].window);
                r.switches[nextSwitch].begin = before;
                r.switches[nextSwitch].at = uptime();
                ++nextSwitch;
            }
            if (terminateFrom && !signalled && now >= *terminateFrom + terminate->delay) {
                ::kill(pid_t(p.processId()), SIGTERM);
                signalled = true;
            }
            if (p.state() == QProcess::NotRunning) break;
        }
        if (p.state() != QProcess::NotRunning) {
            p.kill();
            p.waitForFinished();
        }
        pending += p.readAllStandardOutput();
        for (const QByteArray& line : pending.split('\n'))
            if (!line.isEmpty()) r.lines << QString::fromUtf8(line);
        r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.stall = load.longest();
        return r;
    }

    void activate(std::size_t i) { x("xdotool", {"windowactivate", "--sync", windows[i]->idText()}); }

    std::size_t windowOfApp(const QString& app) const {
        for (std::size_t i = 0; i < kWindows.size(); ++i)
            if (kWindows[i].app == app) return i;
        return kWindows.size();
    }

    // Every check on a finished session folder. `complete`: the run was not cut short.
    void checkFolder(const SessionRun& r, const QString& container, bool complete) {
        SCOPED_TRACE(container.toStdString());
        ASSERT_FALSE(r.folder.isEmpty()) << r.lines.join("\n").toStdString();
        QFile file(QDir(r.folder).filePath("session.json"));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray raw = file.readAll();
        const QJsonObject doc = QJsonDocument::fromJson(raw).object();
        ASSERT_FALSE(doc.isEmpty());

        // The exact form: sorted keys at every level, slashes unescaped.
        EXPECT_FALSE(raw.contains("\\/"));
        const auto keys = lc::test::objectKeys(raw);
        ASSERT_FALSE(keys.empty());
        EXPECT_EQ(keys[0], (QStringList{"_ai_instructions", "container", "final", "focus", "mic", "pauses",
                                        "recordings", "sessionStart", "timecodeStorage", "version"}));
        for (const QStringList& k : keys) {
            QStringList sorted = k;
            std::sort(sorted.begin(), sorted.end());
            EXPECT_EQ(k, sorted);
        }
        EXPECT_EQ(doc["version"].toInt(), 1);
        EXPECT_EQ(doc["container"].toString(), container);
        EXPECT_EQ(doc["timecodeStorage"].toString(),
                  container == "mp4" ? "metadata comment tag (MP4 cannot hold a tmcd track)"
                                     : "tmcd track in each .mov");
        EXPECT_TRUE(doc["_ai_instructions"].toString().startsWith("TASK FOR AN AI VIDEO EDITOR."));
        EXPECT_TRUE(QRegularExpression(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$)")
                        .match(doc["sessionStart"].toString())
                        .hasMatch());

        // A machine that stood everything still for longer than the focus needs to count (or a
        // window to deliver its first frame) cannot show when things happened: then only what
        // did happen is judged, not its timing.
        const bool prompt = r.stall < 0.3;
        if (!prompt) std::printf("the machine stalled for %.2f s: timings not judged\n", r.stall);
        const QJsonArray recs = doc["recordings"].toArray();
        if (prompt || complete)
            ASSERT_EQ(recs.size(), complete ? 4 : 3);
        else
            ASSERT_TRUE(recs.size() >= 2 && recs.size() <= 3) << recs.size();
        const QString ext = container == "mp4" ? "mp4" : "mov";
        for (int i = 0; i < recs.size(); ++i) {
            const QJsonObject rec = recs[i].toObject();
            const std::size_t w = windowOfApp(rec["app"].toString());
            ASSERT_LT(w, kWindows.size()) << rec["app"].toString().toStdString();
            SCOPED_TRACE(kWindows[w].title.toStdString());
            if (i >= 2) EXPECT_EQ(w, std::size_t(i)) << "joined windows come last, in order";
            const Preset preset = Preset::builtIn()[std::size_t(kWindows[w].preset)];
            EXPECT_EQ(rec["windowTitle"].toString(), kWindows[w].title);
            EXPECT_EQ(rec["preset"].toString(), preset.label());
            EXPECT_EQ(rec["width"].toInt(), preset.width);
            EXPECT_EQ(rec["height"].toInt(), preset.height);
            EXPECT_EQ(rec["fps"].toInt(), 30);
            EXPECT_TRUE(rec["hasAppAudio"].toBool());
            EXPECT_FALSE(rec["hasMicTrack"].toBool());
            EXPECT_FALSE(rec.contains("warning")) << rec["warning"].toString().toStdString();
            const double offset = rec["startOffset"].toDouble();
            const QString name = kWindows[w].app + " - " + kWindows[w].title + " (" + preset.fileLabel() +
                                 ") " + offsetSuffix(offset) + "." + ext;
            EXPECT_EQ(rec["file"].toString(), name);
            const QString path = QDir(r.folder).filePath(name);
            ASSERT_TRUE(QFileInfo::exists(path)) << name.toStdString();
            ASSERT_TRUE(rec.contains("duration"));
            const QString tc = rec["startTimecode"].toString();
            EXPECT_TRUE(QRegularExpression(R"(^\d\d:\d\d:\d\d:\d\d$)").match(tc).hasMatch())
                << tc.toStdString();

            // Playable, with its tracks.
            const QJsonObject pr = probe(path);
            const QJsonArray streams = pr["streams"].toArray();
            int video = 0, audio = 0, data = 0;
            for (const auto& s : streams) {
                const QJsonObject so = s.toObject();
                const QString type = so["codec_type"].toString();
                if (type == "video") {
                    ++video;
                    EXPECT_EQ(so["codec_name"].toString(), "h264");
                    EXPECT_EQ(so["width"].toInt(), preset.width);
                    EXPECT_EQ(so["height"].toInt(), preset.height);
                    if (container == "mov") EXPECT_EQ(so["tags"].toObject()["timecode"].toString(), tc);
                } else if (type == "audio") {
                    ++audio;
                    EXPECT_EQ(so["codec_name"].toString(), "aac");
                } else if (type == "data") {
                    ++data;
                }
            }
            EXPECT_EQ(video, 1);
            EXPECT_EQ(audio, 1) << "application audio";
            EXPECT_EQ(data, container == "mov" ? 1 : 0) << "timecode track";
            if (container == "mp4")
                EXPECT_TRUE(pr["format"].toObject()["tags"].toObject()["comment"].toString().startsWith(
                    "timecode=" + tc));
            for (const auto& st : streams) {
                // The manifest tells the video track's length: its frames, each 1/30 s, on the
                // one constant grid.
                const QJsonObject so = st.toObject();
                if (so["codec_type"].toString() != "video") continue;
                EXPECT_NEAR(so["duration"].toString().toDouble(), rec["duration"].toDouble(), 0.0006);
                EXPECT_EQ(so["avg_frame_rate"].toString(), "30/1");
                EXPECT_EQ(so["r_frame_rate"].toString(), "30/1");
            }
            EXPECT_EQ(decodeErrors(path).toStdString(), "");

            // The offset against what the file shows: pictures past the window's resize show the
            // window's counter, which this process watched on screen. On the session's clock a
            // picture is at offset + its time in the file; it must lie within the bounds of when
            // its counter was on screen (a busy machine only widens those). Never too early, in
            // the median over five pictures; and not too late in the best of them, since a machine
            // so loaded that the capture or the encoder falls behind holds old pictures for
            // seconds (their place on the grid stays right).
            const auto geo = clientGeometry(windows[w]->id());
            ASSERT_TRUE(geo);
            const double length = rec["duration"].toDouble();
            std::vector<double> early, late;
            QString seen;
            for (double share : {0.2, 0.35, 0.5, 0.65, 0.8}) {
                const Picture pic = pictureAt(path, int(preset.width), int(preset.height),
                                              {QSize(geo->width, geo->height)}, share * length);
                if (pic.time < 0 || !pic.counter) continue;
                const auto shown = clock->timeOf(windows[w]->id(), *pic.counter);
                if (!shown) continue;
                const double at = offset + pic.time;
                early.push_back(shown->first - r.startUptime - at);
                late.push_back(at - (shown->second - r.startUptime));
                seen += QString(" %1s:[%2,%3]")
                            .arg(at, 0, 'f', 3)
                            .arg(shown->first - r.startUptime, 0, 'f', 3)
                            .arg(shown->second - r.startUptime, 0, 'f', 3);
            }
            std::printf("%s %s: pictures placed at (and shown between)%s\n", qPrintable(container),
                        qPrintable(kWindows[w].app), qPrintable(seen));
            ASSERT_GE(early.size(), 3u) << "pictures without a readable counter";
            std::sort(early.begin(), early.end());
            std::sort(late.begin(), late.end());
            EXPECT_LE(early[early.size() / 2], 0.1) << "placed too early:" << seen.toStdString();
            if (prompt) EXPECT_LE(late.front(), 0.1) << "placed too late:" << seen.toStdString();
        }

        // The microphone file.
        const QJsonObject mic = doc["mic"].toObject();
        ASSERT_FALSE(mic.isEmpty());
        EXPECT_EQ(mic["device"].toString(), "Test_Microphone");
        EXPECT_GE(mic["startOffset"].toDouble(), 0);
        EXPECT_EQ(mic["file"].toString(), "Mic " + offsetSuffix(mic["startOffset"].toDouble()) + ".m4a");
        EXPECT_GT(mic["duration"].toDouble(), 1.0);
        EXPECT_TRUE(
            QRegularExpression(R"(^\d\d:\d\d:\d\d:\d\d$)").match(mic["startTimecode"].toString()).hasMatch());
        const QString micPath = QDir(r.folder).filePath(mic["file"].toString());
        EXPECT_EQ(probe(micPath)["streams"].toArray().size(), 1);
        EXPECT_EQ(decodeErrors(micPath).toStdString(), "");

        // The final video's frame comes from the first recording.
        const QJsonObject finalPreset = doc["final"]["preset"].toObject();
        EXPECT_EQ(finalPreset["width"].toInt(), recs[0]["width"].toInt());
        EXPECT_EQ(finalPreset["height"].toInt(), recs[0]["height"].toInt());
        EXPECT_EQ(doc["final"]["transition"].toString(), "crossfade");
        EXPECT_EQ(doc["final"]["transitionDuration"].toDouble(), 0.35);

        // Nothing else in the folder.
        EXPECT_EQ(QDir(r.folder).entryList(QDir::Files).size(), recs.size() + 2);

        // Focus: the front window at 0, then each switch when it happened.
        const QJsonArray focus = doc["focus"].toArray();
        QString switchTimes;
        for (const Switch& sw : r.switches)
            switchTimes +=
                QString(" %1@%2").arg(kWindows[sw.window].app).arg(sw.at - r.startUptime, 0, 'f', 3);
        if (!prompt) {
            EXPECT_LE(focus.size(), qsizetype(1 + r.switches.size()));
            return;
        }
        ASSERT_EQ(focus.size(), qsizetype(1 + r.switches.size()))
            << QJsonDocument(focus).toJson().toStdString() << "switches:" << switchTimes.toStdString();
        auto fileOf = [&](std::size_t w) {
            for (const auto& rec : recs)
                if (rec.toObject()["app"].toString() == kWindows[w].app)
                    return rec.toObject()["file"].toString();
            return QString();
        };
        EXPECT_EQ(focus[0]["t"].toDouble(), 0);
        EXPECT_EQ(focus[0]["file"].toString(), fileOf(0));
        for (std::size_t i = 0; i < r.switches.size(); ++i) {
            const QJsonObject f = focus[qsizetype(i + 1)].toObject();
            EXPECT_EQ(f["file"].toString(), fileOf(r.switches[i].window));
            EXPECT_EQ(f["windowTitle"].toString(), kWindows[r.switches[i].window].title);
            // From when the activation began until 0.3 s after it was done.
            EXPECT_GE(f["t"].toDouble(), r.switches[i].begin - r.startUptime - 0.05);
            EXPECT_LE(f["t"].toDouble(), r.switches[i].at - r.startUptime + 0.3);
        }
    }

    QStringList args(const QString& container, int dur) const {
        QStringList sel, presets;
        for (const WindowSpec& w : kWindows) {
            sel << w.title;
            presets << QString::number(w.preset);
        }
        return {"--selftest-multi",   "--sel",       sel.join(","), "--presets",
                presets.join(","),    "--preset",    "0",           "--dur",
                QString::number(dur), "--container", container};
    }

    QTemporaryDir home;
    std::shared_ptr<x11::X11Desktop> desktop;
    std::vector<std::unique_ptr<TestWindow>> windows;
    std::unique_ptr<CounterClock> clock;
    double skew = 0;
};

} // namespace

TEST_F(SessionSelfTest, MovAndMp4SessionsDescribeWhatHappened) {
    for (const QString container : {"mov", "mp4"}) {
        // Gamma joins 3 s after the start, Delta 6 s; the stop comes at about 11 s.
        const SessionRun r = run(args(container, 12), {{2.0, 1}, {4.5, 0}, {8.0, 2}});
        const QString out = r.lines.join("\n");
        ASSERT_EQ(r.exitCode, 0) << out.toStdString();
        ASSERT_GE(r.lines.size(), 15) << out.toStdString();
        EXPECT_EQ(r.lines[0], "screenRecording=true accessibility=true micAuth=3");
        EXPECT_TRUE(r.lines.contains("SC ok")) << out.toStdString();
        EXPECT_TRUE(r.lines.contains(
            "using: Alpha/Alpha Window | Beta/Beta Window | Gamma/Gamma Window | Delta/Delta Window"))
            << out.toStdString();
        EXPECT_TRUE(r.lines.contains("mic running=true")) << out.toStdString();
        EXPECT_EQ(r.lines.filter(QRegularExpression("^added (Gamma|Delta) at \\d+\\.\\d+$")).size(), 2);
        EXPECT_EQ(r.lines.filter(QRegularExpression("^DBG audio rx=")).size(), 4);
        EXPECT_TRUE(r.lines.contains("stopped; folder: " + r.folder));
        EXPECT_EQ(r.lines.last(), "notes: Alpha: - / - | Beta: - / - | Gamma: - / - | Delta: - / -");
        checkFolder(r, container, true);
    }
}

TEST_F(SessionSelfTest, TerminationFinishesEveryFile) {
    // Terminated 1.5 s after Gamma joined a 30 s session (about 4.5 s in), before Delta did.
    const SessionRun r = run(args("mov", 30), {}, Termination{"added Gamma at ", 1.5});
    ASSERT_EQ(r.exitCode, 128 + SIGTERM) << r.lines.join("\n").toStdString();
    EXPECT_FALSE(r.lines.contains("stopped; folder: " + r.folder));
    checkFolder(r, "mov", false);
}
