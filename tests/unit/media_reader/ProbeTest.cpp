// The reader's track ranges, taken from the container's index and the packets at both ends of
// each track, against the same ranges measured by reading every packet, on movies of each shape
// the export meets (made with ffmpeg).
#include "platform/media/reader/FfmpegMediaReader.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace lc {
namespace {

bool ffmpeg(const QStringList& args) {
    QProcess p;
    p.start("ffmpeg", QStringList{"-v", "error", "-y"} + args);
    if (!p.waitForFinished(120000) || p.exitCode() != 0) {
        ADD_FAILURE() << "ffmpeg " << args.join(' ').toStdString() << ": "
                      << p.readAllStandardError().toStdString();
        return false;
    }
    return true;
}

QStringList sources(double seconds) {
    const QString d = QString::number(seconds);
    return {"-f", "lavfi", "-i", "testsrc2=s=160x90:r=30:d=" + d,
            "-f", "lavfi", "-i", "sine=f=440:r=48000:d=" + d};
}

// Cuts a fragmented file before its last fragment, as a killed writer leaves it (no index at
// the end).
void cutBeforeLastFragment(const QString& path) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    f.close();
    const qsizetype at = bytes.lastIndexOf("moof");
    ASSERT_GT(at, 4);
    ASSERT_TRUE(QFile::resize(path, at - 4));
}

void expectSameRange(const std::optional<TrackRange>& fast, const std::optional<TrackRange>& full,
                     const char* what) {
    ASSERT_EQ(fast.has_value(), full.has_value()) << what;
    if (!fast) return;
    EXPECT_EQ(fast->start, full->start)
        << what << " start " << fast->start.seconds() << " vs " << full->start.seconds();
    EXPECT_EQ(fast->duration, full->duration)
        << what << " duration " << fast->duration.seconds() << " vs " << full->duration.seconds();
}

TEST(MediaProbe, IndexRangesMatchAFullReadOnEveryKindOfMovie) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QDir d(dir.path());
    const QStringList x264 = {"-c:v",     "libx264", "-preset", "ultrafast", "-g",  "60",
                              "-pix_fmt", "yuv420p", "-c:a",    "aac",       "-ac", "2"};
    struct Case {
        QString name;
        QStringList args;
        bool cut = false;
    };
    const std::vector<Case> cases = {
        {"plain.mp4", sources(6) + x264},
        {"faststart.mp4", sources(6) + x264 + QStringList{"-movflags", "+faststart"}},
        {"bframes.mp4", sources(6) + QStringList{"-c:v", "libx264", "-preset", "medium", "-bf", "3", "-g",
                                                 "30", "-pix_fmt", "yuv420p", "-c:a", "aac"}},
        {"fragments.mp4",
         sources(8) + x264 + QStringList{"-movflags", "+frag_keyframe+empty_moov+default_base_moof"}},
        {"unfinished.mp4",
         sources(8) + x264 + QStringList{"-movflags", "+frag_keyframe+empty_moov+default_base_moof"}, true},
        {"voice.m4a", QStringList{"-f", "lavfi", "-i", "sine=f=440:r=48000:d=5", "-ac", "2", "-c:a", "aac"}},
        {"short.mp4", sources(0.2) + x264},
    };
    FfmpegMediaReader reader;
    for (const Case& c : cases) {
        const QString path = d.filePath(c.name);
        ASSERT_TRUE(ffmpeg(c.args + QStringList{path})) << c.name.toStdString();
        if (c.cut) cutBeforeLastFragment(path);
        const auto fast = reader.probe(path.toStdString());
        const auto full = FfmpegMediaReader::scanAllPackets(path.toStdString());
        ASSERT_TRUE(fast.ok()) << c.name.toStdString() << ": " << fast.error().message;
        ASSERT_TRUE(full.ok()) << c.name.toStdString() << ": " << full.error().message;
        const std::string what = c.name.toStdString();
        expectSameRange(fast->video, full->video, (what + " video").c_str());
        expectSameRange(fast->audio, full->audio, (what + " audio").c_str());
        EXPECT_EQ(fast->width, full->width) << what;
        EXPECT_EQ(fast->height, full->height) << what;
    }
}

// A long fragmented file with its fragment index at the end, as an unfinished live recording
// that its writer closed: measured from the index (its fragments read only when reached), and
// decoded from anywhere.
TEST(MediaProbe, LongFragmentedFileIsMeasuredFromItsFragmentIndexAndDecodedFromAnywhere) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = QDir(dir.path()).filePath("long.mp4");
    ASSERT_TRUE(ffmpeg({"-f",        "lavfi",
                        "-i",        "testsrc2=s=64x36:r=10:d=150",
                        "-f",        "lavfi",
                        "-i",        "sine=f=440:r=48000:d=150",
                        "-c:v",      "libx264",
                        "-preset",   "ultrafast",
                        "-g",        "20",
                        "-pix_fmt",  "yuv420p",
                        "-c:a",      "aac",
                        "-ac",       "2",
                        "-movflags", "+frag_keyframe+empty_moov+default_base_moof",
                        path}));
    FfmpegMediaReader reader;
    const auto fast = reader.probe(path.toStdString());
    const auto full = FfmpegMediaReader::scanAllPackets(path.toStdString());
    ASSERT_TRUE(fast.ok()) << fast.error().message;
    ASSERT_TRUE(full.ok()) << full.error().message;
    expectSameRange(fast->video, full->video, "video");
    expectSameRange(fast->audio, full->audio, "audio");
    ASSERT_TRUE(full->video);
    EXPECT_NEAR(full->video->duration.seconds(), 150.0, 0.2);

    // A fresh decoder seeked into the middle, then near the end, then to the start: each time
    // the key frame at or before the target, then every frame after it in turn, across the
    // following fragments (2 s each), for 8 s.
    auto decoder = reader.openVideo(path.toStdString());
    ASSERT_TRUE(decoder.ok()) << decoder.error().message;
    for (double at : {9.65, 141.0, 3.0}) {
        ASSERT_TRUE((*decoder)->seek(MediaTime::fromSeconds(at, 600)).ok());
        auto frame = (*decoder)->next();
        ASSERT_TRUE(frame.ok()) << frame.error().message;
        ASSERT_TRUE(frame->has_value()) << "nothing after a seek to " << at;
        const double first = (*frame)->pts.seconds();
        EXPECT_LE(first, at + 0.05) << at;
        EXPECT_GE(first, at - 2.05) << at; // the key frame at or before
        double last = first;
        for (int i = 0; i < 80; ++i) {
            auto more = (*decoder)->next();
            ASSERT_TRUE(more.ok()) << more.error().message;
            if (!more->has_value()) break;
            const double pts = (*more)->pts.seconds();
            ASSERT_NEAR(pts, last + 0.1, 0.01) << "after a seek to " << at;
            last = pts;
        }
        EXPECT_GT(last, std::min(first + 7.5, 149.8))
            << "the frames after a seek to " << at << " end at " << last;
    }
}

TEST(MediaProbe, RefusesWhatIsNoMovie) {
    QTemporaryDir dir;
    const QString path = QDir(dir.path()).filePath("notes.mp4");
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("this is not a movie\n");
    f.close();
    const auto r = FfmpegMediaReader().probe(path.toStdString());
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, "Cannot open \"notes.mp4\": Invalid data found when processing input");
}

} // namespace
} // namespace lc
