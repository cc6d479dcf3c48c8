// Preparing and running one export: session folder in, "Loomcast Final.mp4" out.
#include "common/Detached.h"
#include "export/AudioMixer.h"
#include "export/ClipFeed.h"
#include "export/ExportEngine.h"
#include "export/FocusCompositor.h"
#include "export/WorkQueue.h"
#include "platform/MovieWriter.h"
#include "platform/YuvFramePool.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <future>
#include <map>
#include <qcoro/qcorofuture.h>
#include <set>

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
Result<MediaInfo> probe(const QDir& dir, const QString& name) {
    const QString path = dir.filePath(name);
    if (const QFileInfo info(path); info.exists() && !info.isFile())
        return failure(QStringLiteral("Cannot open \"%1\": not a regular file").arg(name));
    return probeMedia(path.toStdString());
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

Result<Prepared> prepare(const QString& folder) {
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
        const std::string path = dir.filePath(rec.file).toStdString();
        auto info = probe(dir, rec.file);
        if (!info) return info.error();
        if (!info->video) continue; // no video (or not a single frame): skipped
        Clip clip;
        clip.path = path;
        clip.trackId = nextTrack++;
        clip.start = T(rec.startOffset);
        clip.range = *info->video;
        clip.width = info->width;
        clip.height = info->height;
        // The first frame stands in before the clip starts; a clip whose first frame cannot be
        // decoded shows the background there instead.
        if (auto dec = VideoDecoder::open(path)) {
            if (auto first = (*dec)->next(); first && *first) clip.first = (**first).picture;
        }
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
    if (doc->mic) {
        const std::string path = dir.filePath(doc->mic->file).toStdString();
        auto info = probe(dir, doc->mic->file);
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

// Drives one export from prepared plan to finished file.
class Exporter {
public:
    Exporter(const Prepared& plan, MovieWriter& writer, MovieWriter::InputId audioInput,
             ExportSession& session)
        : plan_(plan), tl_(plan.timeline), writer_(writer), audioInput_(audioInput), session_(session),
          compositor_(plan.renderWidth, plan.renderHeight), spare_(plan.renderWidth, plan.renderHeight, 16) {}

    // Empty on success; "cancelled" is reported through the session.
    Result<void> run();

private:
    struct Output {
        std::shared_future<YuvFramePtr> frame;
        std::int64_t n;
    };

    Result<void> writeFront();
    void dump(const YuvFrame& frame);
    Result<void> writeAudioUntil(std::int64_t sampleFrame);
    Result<void> waitForWriter();
    YuvFramePtr newFrame();

    const Prepared& plan_;
    const Timeline& tl_;
    MovieWriter& writer_;
    MovieWriter::InputId audioInput_;
    ExportSession& session_;
    FocusCompositor compositor_;
    YuvFramePool spare_; // when the writer's own frames are all in flight
    std::deque<Output> pending_;
    std::unique_ptr<AudioMixer> mixer_;
    std::vector<std::int16_t> audio_;
    std::int64_t written_ = 0;
    std::int64_t total_ = 0;

public:
    // Benchmarks only: the exact frames handed to the encoder, as raw I420, so that the encoder
    // alone can be timed on them.
    std::FILE* rawDump = nullptr;
};

void Exporter::dump(const YuvFrame& f) {
    for (int p = 0; p < 3; ++p) {
        const int w = p ? f.width / 2 : f.width, h = p ? f.height / 2 : f.height;
        for (int r = 0; r < h; ++r)
            std::fwrite(f.planes[p] + std::ptrdiff_t(r) * f.strides[p], 1, std::size_t(w), rawDump);
    }
}

YuvFramePtr Exporter::newFrame() {
    if (YuvFramePtr f = writer_.freeVideoFrame()) return f;
    if (YuvFramePtr f = spare_.acquire()) return f;
    return YuvFrame::allocate(plan_.renderWidth, plan_.renderHeight);
}

Result<void> Exporter::waitForWriter() {
    if (writer_.status() == MovieWriter::Status::failed) {
        const auto e = writer_.error();
        return e ? *e : makeError("Export failed");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return {};
}

Result<void> Exporter::writeFront() {
    Output o = std::move(pending_.front());
    pending_.pop_front();
    const YuvFramePtr frame = o.frame.get();
    const std::int64_t pts =
        std::int64_t(std::llround(double(o.n) * double(kVideoTimeScale) / double(tl_.fps)));
    while (!writer_.appendVideo(frame, pts)) {
        if (session_.isCancelled()) return {};
        if (auto r = waitForWriter(); !r) return r;
    }
    if (rawDump) dump(*frame);
    ++written_;
    session_.setProgress(double(written_) / double(total_));
    return {};
}

Result<void> Exporter::run() {
    total_ = tl_.frameCount();
    // Which output frames need which clip: the shown clip, and the incoming one in a dissolve.
    std::map<int, std::vector<std::int64_t>> demand;
    for (std::int64_t n = 0; n < total_; ++n) {
        if (const FocusInstruction* in = tl_.instructionAt(tl_.frameTime(n))) {
            demand[in->from].push_back(n);
            if (in->to && *in->to != in->from) demand[*in->to].push_back(n);
        }
    }
    std::map<int, std::unique_ptr<ClipFeed>> feeds;
    for (const Clip& c : plan_.clips) {
        auto it = demand.find(c.trackId);
        if (it == demand.end()) continue; // never on screen: never decoded
        feeds[c.trackId] = std::make_unique<ClipFeed>(c, std::move(it->second), tl_.fps);
    }
    for (auto& [id, feed] : feeds)
        feed->start();

    const std::int64_t audioTotal =
        std::int64_t((__int128(tl_.length.value) * 48000 + tl_.length.scale - 1) / tl_.length.scale);
    mixer_ = std::make_unique<AudioMixer>(plan_.audio, tl_.audioMix, audioTotal);
    const int threads = 2;
    const std::size_t inFlight = 2 * threads + 2;

    Result<void> result;
    {
        WorkerPool pool("loomcast.export.compose", threads);
        const FocusInstruction* lastHold = nullptr;
        YuvFramePtr lastSource; // held, so that a new picture can never reuse its address
        std::shared_future<YuvFramePtr> lastOutput;
        for (std::int64_t n = 0; n < total_ && result.ok() && !session_.isCancelled(); ++n) {
            const MediaTime t = tl_.frameTime(n);
            const FocusInstruction* in = tl_.instructionAt(t);
            YuvFramePtr from, to;
            if (in) {
                auto f = feeds.at(in->from)->take(n);
                if (!f) {
                    result = f.error();
                    break;
                }
                from = std::move(*f);
                if (in->to && *in->to == in->from) {
                    to = from;
                } else if (in->to) {
                    auto g = feeds.at(*in->to)->take(n);
                    if (!g) {
                        result = g.error();
                        break;
                    }
                    to = std::move(*g);
                }
            }
            const bool dissolve = to != nullptr;
            std::shared_future<YuvFramePtr> output;
            if (!dissolve && in == lastHold && from == lastSource && lastOutput.valid()) {
                output = lastOutput; // the same picture again: nothing to draw
            } else if (!dissolve && from && compositor_.passesThrough(*from)) {
                std::promise<YuvFramePtr> ready;
                ready.set_value(from);
                output = ready.get_future().share();
            } else {
                const double p = dissolve ? Timeline::dissolveProgress(*in, t) : 0.0;
                auto task = std::make_shared<std::packaged_task<YuvFramePtr()>>([this, from, to, p] {
                    YuvFramePtr dst = newFrame();
                    compositor_.compose(from.get(), to.get(), p, *dst);
                    return dst;
                });
                output = task->get_future().share();
                pool.submit([task] { (*task)(); });
            }
            if (dissolve) {
                lastHold = nullptr;
                lastSource.reset();
                lastOutput = {};
            } else {
                lastHold = in;
                lastSource = from;
                lastOutput = output;
            }
            pending_.push_back({output, n});
            while (result.ok() && pending_.size() > inFlight)
                result = writeFront();
            if (result.ok()) {
                const std::int64_t until = std::int64_t(__int128(n + 1) * 48000 / tl_.fps);
                result = writeAudioUntil(std::min(until, audioTotal));
            }
        }
        while (result.ok() && !pending_.empty() && !session_.isCancelled())
            result = writeFront();
        if (result.ok() && !session_.isCancelled()) result = writeAudioUntil(audioTotal);
        for (auto& [id, feed] : feeds)
            feed->stop();
        // The pool finishes its queued frames before it goes.
    }
    pending_.clear();
    return result;
}

Result<void> Exporter::writeAudioUntil(std::int64_t until) {
    constexpr std::int64_t block = 4800;
    while (mixer_->position() < until) {
        const std::int64_t at = mixer_->position();
        if (auto r = mixer_->mixNext(std::min(until - at, block), audio_); !r) return r;
        while (!writer_.appendAudio(audioInput_, std::span<const std::int16_t>(audio_), at)) {
            if (session_.isCancelled()) return {};
            if (auto r = waitForWriter(); !r) return r;
        }
    }
    return {};
}

} // namespace

Result<QString> runBlocking(const QString& folder, ExportSession& session,
                            const std::function<void()>& onStart) {
    auto plan = prepare(folder);
    if (!plan) return plan.error();
    if (session.isCancelled()) return failure("Export cancelled");
    const QString output = uniqueOutput(folder);

    MovieWriterOptions options;
    options.fragmented = false;
    options.videoQueueDepth = 6;
    auto created = createMovieWriter(output.toStdString(), MovieFileType::mp4, options);
    if (!created) return failure("Cannot create export session");
    MovieWriter& writer = **created;
    auto video = writer.addVideoInput(VideoSettings::forExport(
        VideoCodec::h264, plan->renderWidth, plan->renderHeight, plan->timeline.fps, finalQuality));
    auto audio = writer.addAudioInput();
    if (!video || !audio) return failure("Cannot create export session");
    if (auto r = writer.startWriting(); !r) return r.error();
    if (auto r = writer.startSession(); !r) {
        writer.cancel();
        return r.error();
    }
    if (onStart) onStart();

    Exporter exporter(*plan, writer, *audio, session);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> rawDump(nullptr, &std::fclose);
    if (const char* dumpPath = std::getenv("LC_EXPORT_RAW_DUMP"); dumpPath && *dumpPath) {
        rawDump.reset(std::fopen(dumpPath, "wb"));
        exporter.rawDump = rawDump.get();
    }
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
    session.setProgress(1.0);
    return output;
}

QCoro::Task<Result<QString>> run(QString folder, std::function<void(double)> progress,
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
    QFuture<Result<QString>> work = QtConcurrent::run([folder, session]() -> Result<QString> {
        // What the run throws ends this export with its reason, like any other failure.
        try {
            return runBlocking(folder, *session);
        } catch (...) {
            return makeError("Export failed: " + currentExceptionMessage().toStdString());
        }
    });
    Result<QString> result = co_await work;
    poller.stop();
    if (result && progress) progress(1.0);
    co_return result;
}

} // namespace lc::ExportEngine
