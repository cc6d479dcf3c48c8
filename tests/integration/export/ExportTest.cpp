// Exports generated sessions (solid-colour clips and sine tones made with ffmpeg) and checks
// the final video by decoding it.
#include "../../unit/export/ExportFakes.h"
#include "TestSupport.h"
#include "export/ExportController.h"
#include "export/ExportEngine.h"
#include "platform/ForwardingMovieWriter.h"
#include "platform/media/reader/FfmpegMediaReader.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <atomic>
#include <cmath>
#include <csignal>
#include <gtest/gtest.h>

namespace lc {
namespace {

constexpr int W = 320, H = 180;

bool ffmpeg(const QStringList& args, QByteArray* out = nullptr) {
    QProcess p;
    p.start("ffmpeg", QStringList{"-v", "error", "-y"} + args);
    if (!p.waitForFinished(120000) || p.exitCode() != 0) {
        ADD_FAILURE() << "ffmpeg " << args.join(' ').toStdString() << ": "
                      << p.readAllStandardError().toStdString();
        return false;
    }
    if (out) *out = p.readAllStandardOutput();
    return true;
}

// A clip of solid colours (each for its seconds) at a size and frame rate, optionally with a
// sine tone as its first audio track.
void makeClip(const QString& path, int w, int h, int fps,
              const std::vector<std::pair<QString, double>>& colours, int toneHz = 0) {
    QStringList args;
    QString graph;
    for (std::size_t i = 0; i < colours.size(); ++i) {
        args << "-f"
             << "lavfi"
             << "-i"
             << QStringLiteral("color=c=%1:s=%2x%3:r=%4:d=%5")
                    .arg(colours[i].first)
                    .arg(w)
                    .arg(h)
                    .arg(fps)
                    .arg(colours[i].second);
        graph += QStringLiteral("[%1:v]").arg(i);
    }
    graph += QStringLiteral("concat=n=%1:v=1:a=0[v]").arg(colours.size());
    double total = 0;
    for (auto& c : colours)
        total += c.second;
    if (toneHz)
        args << "-f"
             << "lavfi"
             << "-i" << QStringLiteral("sine=f=%1:r=48000:d=%2").arg(toneHz).arg(total);
    args << "-filter_complex" << graph << "-map"
         << "[v]";
    if (toneHz)
        args << "-map" << QStringLiteral("%1:a").arg(colours.size()) << "-c:a"
             << "aac"
             << "-ac"
             << "2";
    args << "-c:v"
         << "libx264"
         << "-preset"
         << "ultrafast"
         << "-g" << QString::number(fps) << "-pix_fmt"
         << "yuv420p" << path;
    ffmpeg(args);
}

void makeTone(const QString& path, int hz, double seconds) {
    ffmpeg({"-f", "lavfi", "-i", QStringLiteral("sine=f=%1:r=48000:d=%2").arg(hz).arg(seconds), "-ac", "2",
            "-c:a", "aac", path});
}

using fake::Rec;

// The session.json of a generated session, at the export's default size unless told.
void writeSession(const QString& folder, const std::vector<Rec>& recs,
                  const std::optional<std::pair<QString, double>>& mic,
                  const std::vector<std::pair<double, QString>>& focus, int w = W, int h = H) {
    fake::writeSession(folder, recs, mic, focus, w, h);
    ASSERT_TRUE(QFile::exists(QDir(folder).filePath("session.json")));
}

} // namespace

ExportBackends realBackends() {
    return {&createMovieWriter, ffmpegMediaReader()};
}

// The real writer behind a gate: after `limit` frames it takes no more (as a full queue does)
// until the test opens it, so a test can act while an export is known to be midway.
struct Gate {
    std::int64_t limit = 0;
    std::atomic<bool> reached{false};
    std::atomic<bool> open{false};
};

class GatedWriter final : public ForwardingMovieWriter {
public:
    GatedWriter(std::unique_ptr<MovieWriter> inner, std::shared_ptr<Gate> gate)
        : ForwardingMovieWriter(std::move(inner)), gate_(std::move(gate)) {}
    bool appendVideo(const YuvFramePtr& frame, std::int64_t pts) override {
        if (frames_ >= gate_->limit && !gate_->open) {
            gate_->reached = true;
            return false;
        }
        if (!ForwardingMovieWriter::appendVideo(frame, pts)) return false;
        ++frames_;
        return true;
    }

private:
    std::shared_ptr<Gate> gate_;
    std::int64_t frames_ = 0;
};

ExportBackends gatedBackends(std::shared_ptr<Gate> gate) {
    ExportBackends b = realBackends();
    b.makeWriter = [gate](const std::string& path, MovieFileType type,
                          const MovieWriterOptions& options) -> Result<std::unique_ptr<MovieWriter>> {
        auto inner = createMovieWriter(path, type, options);
        if (!inner) return inner.error();
        return std::unique_ptr<MovieWriter>(std::make_unique<GatedWriter>(std::move(*inner), gate));
    };
    return b;
}

void PrintTo(const ExportState& s, std::ostream* os) {
    *os << "{kind " << int(s.kind) << ", progress " << s.progress << ", url " << s.url.toStdString()
        << ", message " << s.message.toStdString() << "}";
}

namespace {

struct Yuv {
    double y, u, v;
};

// Average of a centred 16×16 block of one decoded I420 frame.
Yuv centre(const QByteArray& frames, int index, int w, int h) {
    const qsizetype frameSize = qsizetype(w) * h * 3 / 2;
    const auto* base = reinterpret_cast<const unsigned char*>(frames.constData()) + frameSize * index;
    Yuv out{0, 0, 0};
    for (int y = h / 2 - 8; y < h / 2 + 8; ++y)
        for (int x = w / 2 - 8; x < w / 2 + 8; ++x)
            out.y += base[y * w + x];
    const unsigned char* u = base + w * h;
    const unsigned char* v = u + (w / 2) * (h / 2);
    for (int y = h / 4 - 4; y < h / 4 + 4; ++y)
        for (int x = w / 4 - 4; x < w / 4 + 4; ++x) {
            out.u += u[y * (w / 2) + x];
            out.v += v[y * (w / 2) + x];
        }
    return {out.y / 256, out.u / 64, out.v / 64};
}

QByteArray decodeVideo(const QString& path) {
    QByteArray out;
    ffmpeg({"-i", path, "-f", "rawvideo", "-pix_fmt", "yuv420p", "-"}, &out);
    return out;
}

std::vector<float> decodeAudio(const QString& path) {
    QByteArray out;
    ffmpeg({"-i", path, "-f", "f32le", "-ac", "1", "-ar", "48000", "-"}, &out);
    std::vector<float> s(std::size_t(out.size()) / 4);
    std::memcpy(s.data(), out.constData(), s.size() * 4);
    return s;
}

// Amplitude of one frequency over [a, b) seconds (Goertzel).
double toneLevel(const std::vector<float>& s, double hz, double a, double b) {
    const std::size_t i0 = std::size_t(a * 48000), i1 = std::min(s.size(), std::size_t(b * 48000));
    const double k = 2 * std::cos(2 * M_PI * hz / 48000);
    double s1 = 0, s2 = 0;
    for (std::size_t i = i0; i < i1; ++i) {
        const double s0 = s[i] + k * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - k * s1 * s2;
    return 2 * std::sqrt(std::max(power, 0.0)) / double(i1 - i0);
}

double dB(double ratio) {
    return 20 * std::log10(ratio);
}

void expectColour(const Yuv& got, const Yuv& want, const char* what) {
    EXPECT_NEAR(got.y, want.y, 6) << what;
    EXPECT_NEAR(got.u, want.u, 6) << what;
    EXPECT_NEAR(got.v, want.v, 6) << what;
}

class ExportTest : public ::testing::Test {
protected:
    void SetUp() override {
        LC_REQUIRE_TEST_ENV();
        ASSERT_TRUE(dir.isValid());
        folder = dir.path();
    }
    QString path(const QString& name) const { return QDir(folder).filePath(name); }
    Result<QString> exportNow() {
        ExportSession session;
        return ExportEngine::runBlocking(folder, session, realBackends());
    }
    std::string failureOf() {
        auto r = exportNow();
        EXPECT_FALSE(r.ok());
        return r ? std::string() : r.error().message;
    }

    QTemporaryDir dir;
    QString folder;
};

// The colour of a clip's frame as its own decoder gives it (the export keeps YUV as it is).
Yuv clipColour(const QString& clip, int frameIndex, int w, int h) {
    return centre(decodeVideo(clip), frameIndex, w, h);
}

TEST_F(ExportTest, FollowsTheFocusWithDissolvesFallbacksAndTheMix) {
    // A: red then magenta (its last 0.5 s), 1 kHz, from 0 to 4 s.
    // B: blue portrait at 24 fps, 2 kHz, from 1 to 4 s.
    // C: yellow (first 0.5 s) then green at 60 fps, no sound, from 5 to 7.5 s.
    // Microphone: 440 Hz from 0 to 8 s.
    makeClip(path("A.mp4"), W, H, 30, {{"red", 3.5}, {"magenta", 0.5}}, 1000);
    makeClip(path("B.mp4"), 180, 320, 24, {{"blue", 3}}, 2000);
    makeClip(path("C.mp4"), W, H, 60, {{"yellow", 0.5}, {"green", 2}});
    makeTone(path("Mic.m4a"), 440, 8);
    writeSession(folder, {{"A.mp4", 30, 0, true}, {"B.mp4", 24, 1, true}, {"C.mp4", 60, 5, false}},
                 std::make_pair(QString("Mic.m4a"), 0.0),
                 {{6, "A.mp4"}, {0.5, "A.mp4"}, {2, "B.mp4"}, {4, "C.mp4"}}); // out of order on purpose

    const auto out = exportNow();
    ASSERT_TRUE(out.ok()) << out.error().message;
    EXPECT_EQ(*out, path("Loomcast Final.mp4"));

    const QString info = lc::test::run("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries",
                                                   "stream=width,height,r_frame_rate,pix_fmt:format=duration",
                                                   "-of", "default=nw=1", *out});
    EXPECT_TRUE(info.contains("width=320") && info.contains("height=180")) << info.toStdString();
    EXPECT_TRUE(info.contains("r_frame_rate=60/1")) << info.toStdString();
    EXPECT_TRUE(info.contains("pix_fmt=yuv420p")) << info.toStdString();
    const double duration = info.section("duration=", 1).trimmed().toDouble();
    EXPECT_NEAR(duration, 8.0, 0.05);

    const QByteArray video = decodeVideo(*out);
    const int frames = int(video.size() / (W * H * 3 / 2));
    EXPECT_EQ(frames, 480);
    const Yuv red = clipColour(path("A.mp4"), 0, W, H), magenta = clipColour(path("A.mp4"), 119, W, H);
    const Yuv blue = clipColour(path("B.mp4"), 0, 180, 320);
    const Yuv yellow = clipColour(path("C.mp4"), 0, W, H), green = clipColour(path("C.mp4"), 149, W, H);

    expectColour(centre(video, 60, W, H), red, "1.0 s: A");
    // Frame 130 lies 0.1667 s into the 0.35 s dissolve at 2 s: 47.6 % of the way to B.
    const Yuv mid = centre(video, 130, W, H);
    const double p = (130 / 60.0 - 2.0) / 0.35;
    expectColour(mid,
                 {red.y + (blue.y - red.y) * p, red.u + (blue.u - red.u) * p, red.v + (blue.v - red.v) * p},
                 "mid-dissolve: half and half");
    expectColour(centre(video, 180, W, H), blue, "3.0 s: B fitted over its blur");
    expectColour(centre(video, 276, W, H), yellow, "4.6 s: C before its start shows its first frame");
    expectColour(centre(video, 348, W, H), green, "5.8 s: C live");
    expectColour(centre(video, 420, W, H), magenta, "7.0 s: A after its end holds its last frame");

    const std::vector<float> audio = decodeAudio(*out);
    EXPECT_NEAR(audio.size() / 48000.0, 8.0, 0.05);
    const double mic = toneLevel(audio, 440, 0.6, 1.8), a = toneLevel(audio, 1000, 0.6, 1.8);
    // lavfi's sine has amplitude 1/8; the microphone plays at full level.
    EXPECT_NEAR(dB(mic / 0.125), 0, 1.0);
    EXPECT_NEAR(dB(a / mic), -12, 1.0);                         // the focused clip at 0.25
    EXPECT_LT(dB(toneLevel(audio, 2000, 0.6, 1.8) / mic), -40); // B is not focused
    EXPECT_NEAR(dB(toneLevel(audio, 2000, 2.5, 3.8) / mic), -12, 1.0);
    EXPECT_LT(dB(toneLevel(audio, 1000, 2.5, 3.8) / mic), -40);
}

TEST_F(ExportTest, WithoutMicrophoneTheFocusedClipPlaysAtFullVolumeAndNamesDoNotCollide) {
    makeClip(path("A.mp4"), W, H, 25, {{"red", 2}}, 1000);
    writeSession(folder, {{"A.mp4", 25, 0, true}}, std::nullopt, {});
    QFile(path("Loomcast Final.mp4")).open(QIODevice::WriteOnly); // an earlier export
    const auto out = exportNow();
    ASSERT_TRUE(out.ok()) << out.error().message;
    EXPECT_EQ(*out, path("Loomcast Final 2.mp4"));
    const std::vector<float> audio = decodeAudio(*out);
    EXPECT_NEAR(dB(toneLevel(audio, 1000, 0.3, 1.7) / 0.125), 0, 1.0);
}

TEST_F(ExportTest, BadSessionsEndInClearMessages) {
    makeClip(path("A.mp4"), W, H, 30, {{"red", 1}});
    makeTone(path("Voice.m4a"), 440, 1);
    QFile notMovie(path("Notes.mp4"));
    ASSERT_TRUE(notMovie.open(QIODevice::WriteOnly));
    notMovie.write("this is not a movie\n");
    notMovie.close();
    QFile(path("Empty.mp4")).open(QIODevice::WriteOnly);
    ffmpeg({"-f", "lavfi", "-i", "color=c=red:s=64x64:r=30:d=1", "-frames:v", "0", "-c:v", "libx264",
            path("Zero.mp4")});

    EXPECT_EQ(failureOf().rfind("Cannot read session.json:", 0), 0u);

    QFile bad(path("session.json"));
    ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
    bad.write("{\"recordings\": [ {\"file\": \"A.mp4\"");
    bad.close();
    EXPECT_EQ(failureOf().rfind("session.json is not valid JSON", 0), 0u);

    writeSession(folder, {}, std::nullopt, {});
    EXPECT_EQ(failureOf(), "No recordings in this session");

    for (const char* hostile : {"../A.mp4", "/etc/passwd", "sub/A.mp4", ".."}) {
        writeSession(folder, {{hostile, 30, 0, false}}, std::nullopt, {});
        EXPECT_NE(failureOf().find("Refusing file name"), std::string::npos) << hostile;
    }
    writeSession(folder, {{"A.mp4", 30, 0, false}}, std::make_pair(QString("../Voice.m4a"), 0.0), {});
    EXPECT_NE(failureOf().find("Refusing file name"), std::string::npos);

    writeSession(folder, {{"A.mp4", 30, 0, false}, {"Gone.mp4", 30, 0, false}}, std::nullopt, {});
    EXPECT_EQ(failureOf(), "Cannot open \"Gone.mp4\": No such file or directory");
    writeSession(folder, {{"Notes.mp4", 30, 0, false}}, std::nullopt, {});
    EXPECT_EQ(failureOf(), "Cannot open \"Notes.mp4\": Invalid data found when processing input");
    QDir(folder).mkdir("Folder.mp4");
    writeSession(folder, {{"Folder.mp4", 30, 0, false}}, std::nullopt, {});
    EXPECT_EQ(failureOf(), "Cannot open \"Folder.mp4\": not a regular file");
    writeSession(folder, {{"Empty.mp4", 30, 0, false}}, std::nullopt, {});
    EXPECT_NE(failureOf().find("Cannot open \"Empty.mp4\""), std::string::npos);
    writeSession(folder, {{"A.mp4", 30, 0, false}}, std::make_pair(QString("NoMic.m4a"), 0.0), {});
    EXPECT_EQ(failureOf(), "Cannot open \"NoMic.m4a\": No such file or directory");

    // Clips without a single video frame are skipped; with nothing left there is no video.
    writeSession(folder, {{"Voice.m4a", 30, 0, false}, {"Zero.mp4", 30, 0, false}}, std::nullopt, {});
    EXPECT_EQ(failureOf(), "No video tracks found");
    writeSession(folder, {{"Voice.m4a", 30, 0, false}, {"A.mp4", 30, 0, false}}, std::nullopt,
                 {{0, "Voice.m4a"}});
    EXPECT_TRUE(exportNow().ok());

    writeSession(folder, {{"A.mp4", 0, 0, false}}, std::nullopt, {});
    EXPECT_EQ(failureOf(), "Unsupported frame rate 0 in session.json");
    writeSession(folder, {{"A.mp4", 30, 0, false}}, std::nullopt, {}, 321, 180);
    EXPECT_EQ(failureOf(), "Unsupported output size 321x180 in session.json");
    // Nothing half-written is left behind by any of these.
    EXPECT_FALSE(QFile::exists(path("Loomcast Final 2.mp4")));
}

TEST_F(ExportTest, ControllerReportsProgressDoneCancelAndIgnoresASecondStart) {
    makeClip(path("A.mp4"), 640, 360, 30, {{"red", 2}});
    writeSession(folder, {{"A.mp4", 30, 0, false}}, std::nullopt, {}, 640, 360);

    ExportController controller;
    controller.setBackends(realBackends());
    std::vector<ExportState> states;
    QObject::connect(&controller, &ExportController::stateChanged,
                     [&](const ExportState& s) { states.push_back(s); });
    controller.start(folder);
    EXPECT_EQ(controller.state(), ExportState::running(0));
    controller.start(QStringLiteral("/elsewhere")); // ignored while running
    EXPECT_EQ(controller.folder(), std::optional<QString>(folder));
    ASSERT_TRUE(
        lc::test::waitUntil([&] { return !controller.state().isRunning(); }, std::chrono::seconds(120)));
    ASSERT_EQ(controller.state(), ExportState::done(path("Loomcast Final.mp4")));
    ASSERT_GE(states.size(), 2u);
    EXPECT_EQ(states[states.size() - 2], ExportState::running(1.0));
    EXPECT_FALSE(controller.session());

    // Cancelled midway (the writer holds the export after 10 of its 60 frames): the message,
    // and no file at all.
    auto gate = std::make_shared<Gate>();
    gate->limit = 10;
    controller.setBackends(gatedBackends(gate));
    controller.start(folder);
    ASSERT_TRUE(lc::test::waitUntil(
        [&] { return gate->reached && controller.session() && controller.state().progress > 0; },
        std::chrono::seconds(60)));
    EXPECT_LT(controller.state().progress, 1.0);
    controller.session()->cancelExport();
    ASSERT_TRUE(
        lc::test::waitUntil([&] { return !controller.state().isRunning(); }, std::chrono::seconds(60)));
    EXPECT_EQ(controller.state(), ExportState::failed("Export cancelled"));
    EXPECT_FALSE(QFile::exists(path("Loomcast Final 2.mp4")));
    EXPECT_TRUE(QFile::exists(path("Loomcast Final.mp4")));

    // A new start clears the old message at once.
    controller.start(QDir(folder).filePath("missing"));
    EXPECT_EQ(controller.state(), ExportState::running(0));
    ASSERT_TRUE(
        lc::test::waitUntil([&] { return !controller.state().isRunning(); }, std::chrono::seconds(30)));
    EXPECT_EQ(controller.state().message.left(25), "Cannot read session.json:");
}

TEST_F(ExportTest, CancelRightAfterTheStartLeavesNoFile) {
    makeClip(path("A.mp4"), W, H, 30, {{"red", 2}});
    writeSession(folder, {{"A.mp4", 30, 0, false}}, std::nullopt, {});
    auto gate = std::make_shared<Gate>(); // takes no frame: the export cannot end by itself
    ExportController controller;
    controller.setBackends(gatedBackends(gate));
    controller.start(folder);
    ASSERT_TRUE(
        lc::test::waitUntil([&] { return controller.session() != nullptr; }, std::chrono::seconds(30)));
    controller.session()->cancelExport();
    ASSERT_TRUE(
        lc::test::waitUntil([&] { return !controller.state().isRunning(); }, std::chrono::seconds(60)));
    EXPECT_EQ(controller.state(), ExportState::failed("Export cancelled"));
    EXPECT_FALSE(QFile::exists(path("Loomcast Final.mp4")));
}

TEST_F(ExportTest, CommandLineModePrintsOneLineAndExitCode) {
    const QString app = qEnvironmentVariable("LC_BUILD_DIR") + "/src/app/loomcast";
    if (!QFile::exists(app)) GTEST_SKIP() << "loomcast not built";
    makeClip(path("A.mp4"), W, H, 30, {{"red", 1}});
    writeSession(folder, {{"A.mp4", 30, 0, false}}, std::nullopt, {});
    QProcess p;
    p.start(app, {"--export", folder});
    ASSERT_TRUE(p.waitForFinished(60000));
    const QString line = QString::fromUtf8(p.readAllStandardOutput());
    EXPECT_EQ(p.exitCode(), 0);
    EXPECT_TRUE(QRegularExpression("^exported .*/Loomcast Final\\.mp4 in [0-9]+\\.[0-9]+ s\n$")
                    .match(line)
                    .hasMatch())
        << line.toStdString();

    p.start(app, {"--export", path("nowhere")});
    ASSERT_TRUE(p.waitForFinished(60000));
    EXPECT_EQ(p.exitCode(), 1);
    EXPECT_TRUE(
        QString::fromUtf8(p.readAllStandardOutput()).startsWith("export FAILED: Cannot read session.json:"));
}

TEST_F(ExportTest, CommandLineModeCancelsOnSigintAndSigterm) {
    const QString app = qEnvironmentVariable("LC_BUILD_DIR") + "/src/app/loomcast";
    if (!QFile::exists(app)) GTEST_SKIP() << "loomcast not built";
    // Long enough that the export is still writing when the signal comes: ten minutes.
    makeClip(path("A.mp4"), 160, 90, 30, {{"red", 600}});
    writeSession(folder, {{"A.mp4", 30, 0, false}}, std::nullopt, {}, 160, 90);
    for (const int sig : {SIGINT, SIGTERM}) {
        QProcess p;
        p.start(app, {"--export", folder});
        ASSERT_TRUE(p.waitForStarted());
        // The known point: the partial file exists, so encoding has begun.
        const bool writing = lc::test::waitUntil(
            [&] {
                return !QDir(folder).entryList({".Loomcast export*"}, QDir::Files | QDir::Hidden).isEmpty();
            },
            std::chrono::seconds(60));
        ASSERT_TRUE(writing);
        ::kill(pid_t(p.processId()), sig);
        ASSERT_TRUE(p.waitForFinished(60000));
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit) << sig;
        EXPECT_EQ(p.exitCode(), 1) << sig;
        EXPECT_EQ(QString::fromUtf8(p.readAllStandardOutput()), "export FAILED: Export cancelled\n") << sig;
        const QStringList left = QDir(folder).entryList(QDir::Files | QDir::Hidden);
        EXPECT_EQ(left, QStringList({"A.mp4", "session.json"})) << left.join(", ").toStdString();
    }
}

} // namespace
} // namespace lc
