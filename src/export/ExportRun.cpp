// Preparing and running one export: session folder in, "Loomcast Final.mp4" out.
#include "common/Detached.h"
#include "export/AudioMixer.h"
#include "export/ClipFeed.h"
#include "export/ExportEngine.h"
#include "export/Exporter.h"
#include "export/WorkQueue.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPromise>
#include <QTimer>
#include <QUuid>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <qcoro/qcorofuture.h>
#include <thread>
#include <unistd.h>

namespace lc::ExportEngine {
namespace {

// x264 constant quality for a final video: visually transparent for screen content.
constexpr int finalQuality = 19;
// Times beyond this (about 11 days) are not a recording's; they would only make a run endless.
constexpr double maxSeconds = 1e6;

MediaTime T(double seconds) {
    return MediaTime::fromSeconds(seconds, 600);
}

Error failure(const QString& text) {
    return makeError(text.toStdString());
}

// Opens nothing that is not a regular file (a pipe would block the export, a device never end);
// a missing file is left to the reader, whose message says so.
Result<MediaInfo> probe(const MediaReader& reader, const QDir& dir, const QString& name) {
    const QString path = dir.filePath(name);
    if (const QFileInfo info(path); info.exists() && !info.isFile())
        return failure(QStringLiteral("Cannot open \"%1\": not a regular file").arg(name));
    return reader.probe(path.toStdString());
}

Result<void> checkTimes(const SessionDocument& doc) {
    auto bad = [](double t) { return !(std::fabs(t) <= maxSeconds); };
    for (std::size_t i = 0; i < doc.recordings.size(); ++i)
        if (bad(doc.recordings[i].startOffset))
            return failure(
                QStringLiteral("session.json: \"recordings[%1].startOffset\" is out of range").arg(i));
    if (doc.mic && bad(doc.mic->startOffset))
        return failure("session.json: \"mic.startOffset\" is out of range");
    for (std::size_t i = 0; i < doc.focus.size(); ++i)
        if (bad(doc.focus[i].t))
            return failure(QStringLiteral("session.json: \"focus[%1].t\" is out of range").arg(i));
    return {};
}

} // namespace

Result<Prepared> prepare(const QString& folder, const MediaReader& reader, const ExportSession* session) {
    auto cancelled = [session] { return session && session->isCancelled(); };
    auto doc = SessionDocument::read(folder);
    if (!doc) return doc.error();
    if (doc->recordings.empty()) return failure("No recordings in this session");
    // Nothing is opened before every name is known to stay inside the folder.
    if (auto names = checkFileNames(*doc); !names) return names.error();
    if (auto times = checkTimes(*doc); !times) return times.error();
    const int fps = highestFps(doc->recordings);
    if (fps < 1 || fps > 1000)
        return failure(QStringLiteral("Unsupported frame rate %1 in session.json").arg(fps));
    const qint64 W = doc->finalSettings.preset.width, H = doc->finalSettings.preset.height;
    if (W < 16 || H < 16 || W > 8192 || H > 8192 || W % 2 || H % 2)
        return failure(QStringLiteral("Unsupported output size %1x%2 in session.json").arg(W).arg(H));

    const QDir dir(folder);
    Prepared out;
    TimelineInput in;
    int nextTrack = 1;
    for (const SessionRecording& rec : doc->recordings) {
        if (cancelled()) return failure("Export cancelled");
        const std::string path = dir.filePath(rec.file).toStdString();
        auto info = probe(reader, dir, rec.file);
        if (!info) return info.error();
        if (!info->video) continue; // no video (or not a single frame): skipped
        Clip clip;
        clip.path = path;
        clip.trackId = nextTrack++;
        clip.start = T(rec.startOffset);
        clip.range = *info->video;
        clip.width = info->width;
        clip.height = info->height;
        in.videos.push_back({rec.file, clip.trackId, clip.start, clip.range.duration});
        if (rec.hasAppAudio && info->audio) {
            AudioPiece piece;
            piece.path = path;
            piece.trackId = nextTrack++;
            piece.sourceStart = info->audio->start;
            piece.at = clip.start + info->audio->start;
            piece.duration = minTime(clip.range.duration, info->audio->duration);
            in.appAudio.push_back({rec.file, piece.trackId, piece.at, piece.duration});
            out.audio.push_back(piece);
        }
        out.clips.push_back(std::move(clip));
    }
    if (doc->mic && !cancelled()) {
        const std::string path = dir.filePath(doc->mic->file).toStdString();
        auto info = probe(reader, dir, doc->mic->file);
        if (!info) return info.error();
        if (info->audio) {
            AudioPiece piece;
            piece.path = path;
            piece.trackId = nextTrack++;
            piece.isMic = true;
            piece.sourceStart = info->audio->start;
            piece.at = T(doc->mic->startOffset);
            piece.duration = info->audio->duration;
            in.mic = PlacedAudio{doc->mic->file, piece.trackId, piece.at, piece.duration};
            out.audio.push_back(piece);
        }
    }
    if (cancelled()) return failure("Export cancelled");
    if (in.videos.empty()) return failure("No video tracks found");

    in.documentHasMic = doc->mic.has_value();
    in.focus = doc->focus;
    in.fps = fps;
    in.width = int(W);
    in.height = int(H);
    out.timeline = Timeline::build(in);
    out.length = out.timeline.lengthSeconds();
    out.renderWidth = int(W);
    out.renderHeight = int(H);
    return out;
}

namespace {

// Frames queued for the encoder: enough to keep it busy, fewer for frames above 1080p, whose
// every one costs four times as much.
int queueDepth(int width, int height) {
    return std::int64_t(width) * height > 1920 * 1080 ? 2 : 4;
}

// One encoder thread per core, at most four: every thread holds frames of its own, and on a big
// machine the encoder's own choice (one and a half per core) would let memory grow with it.
int encoderThreads() {
    return std::clamp(int(std::thread::hardware_concurrency()), 1, 4);
}

Error sessionFailure(const Error& cause) {
    return failure(QStringLiteral("Cannot create export session: ") + QString::fromStdString(cause.message));
}

// Where the video is written until it is complete: hidden, in the session folder (so the final
// rename stays on one file system), never a final name.
QString temporaryOutput(const QString& folder) {
    const QString id = QUuid::createUuid().toString(QUuid::Id128).left(12);
    return QDir(folder).filePath(QStringLiteral(".Loomcast export %1.mp4").arg(id));
}

// Gives the finished video its final name, never over an existing file (one that appeared
// meanwhile moves the name on). A failure keeps the video under its temporary name.
Result<QString> publish(const QString& folder, const QString& temp) {
    const QByteArray from = QFile::encodeName(temp);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const QString target = uniqueOutput(folder);
        const QByteArray to = QFile::encodeName(target);
        if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
            return target;
        int err = errno;
        if (err == EINVAL || err == ENOSYS) {
            // A file system without exclusive renames: a hard link refuses an existing name too.
            if (::link(from.constData(), to.constData()) == 0) {
                ::unlink(from.constData());
                return target;
            }
            err = errno;
        }
        if (err != EEXIST)
            return failure(QStringLiteral("Cannot name the final video \"%1\": %2 (it is kept as \"%3\")")
                               .arg(QFileInfo(target).fileName(), QString::fromLocal8Bit(std::strerror(err)),
                                    QFileInfo(temp).fileName()));
    }
    return failure(
        QStringLiteral("Cannot name the final video (it is kept as \"%1\")").arg(QFileInfo(temp).fileName()));
}

} // namespace

Result<QString> runBlocking(const QString& folder, ExportSession& session, const ExportBackends& backends,
                            const std::function<void()>& onStart) {
    if (!backends.reader || !backends.makeWriter)
        return sessionFailure(makeError("no movie reader or writer was given"));
    auto plan = prepare(folder, *backends.reader, &session);
    if (!plan) return plan.error();
    if (session.isCancelled()) return failure("Export cancelled");
    const QString output = temporaryOutput(folder);

    MovieWriterOptions options;
    options.fragmented = false;
    options.videoQueueDepth = queueDepth(plan->renderWidth, plan->renderHeight);
    auto created = backends.makeWriter(output.toStdString(), MovieFileType::mp4, options);
    if (!created) return sessionFailure(created.error());
    if (!*created) return sessionFailure(makeError("no writer"));
    MovieWriter& writer = **created;
    VideoSettings settings = VideoSettings::forExport(VideoCodec::h264, plan->renderWidth, plan->renderHeight,
                                                      plan->timeline.fps, finalQuality);
    settings.threads = encoderThreads();
    auto video = writer.addVideoInput(settings);
    if (!video) return sessionFailure(video.error());
    auto audio = writer.addAudioInput();
    if (!audio) return sessionFailure(audio.error());
    if (auto r = writer.startWriting(); !r) return r.error();
    if (auto r = writer.startSession(); !r) {
        writer.cancel();
        return r.error();
    }
    if (onStart) onStart();

    Exporter exporter(*plan, *backends.reader, writer, *audio, session);
    Result<void> ran = exporter.run();
    if (session.isCancelled()) {
        writer.cancel();
        QFile::remove(output);
        return failure("Export cancelled");
    }
    if (ran.ok()) ran = writer.finishAndWait();
    if (!ran.ok()) {
        // An unfinished movie has no index and plays nowhere: leave nothing half-written.
        writer.cancel();
        QFile::remove(output);
        return ran.error();
    }
    auto published = publish(folder, output);
    if (published) session.setProgress(1.0);
    return published;
}

QCoro::Task<Result<QString>> run(QString folder, ExportBackends backends,
                                 std::function<void(double)> progress,
                                 std::function<void(std::shared_ptr<ExportSession>)> registerSession) {
    auto session = std::make_shared<ExportSession>();
    // Registered before any work, so the export can be cancelled from its very start.
    if (registerSession) registerSession(session);
    QTimer poller;
    poller.setInterval(200);
    QObject::connect(&poller, &QTimer::timeout, [&] {
        if (progress) progress(session->progress());
    });
    if (progress) progress(session->progress());
    poller.start();
    QPromise<Result<QString>> promise;
    QFuture<Result<QString>> work = promise.future();
    promise.start();
    // A thread of the export's own, never a shared pool that other work waits on.
    std::thread([promise = std::move(promise), folder, session, backends = std::move(backends)]() mutable {
        nameThisThread("loomcast.export");
        try {
            promise.addResult(runBlocking(folder, *session, backends));
        } catch (...) {
            promise.addResult(failure(QStringLiteral("Export failed: ") + currentExceptionMessage()));
        }
        session->markStopped();
        promise.finish();
    }).detach();
    Result<QString> result = co_await work;
    poller.stop();
    if (result && progress) progress(1.0);
    co_return result;
}

} // namespace lc::ExportEngine
