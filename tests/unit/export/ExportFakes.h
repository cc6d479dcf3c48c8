#pragma once
// In-process stand-ins for the export's back ends: a reader of synthetic clips (each frame's luma
// carries its index) and a writer that keeps what it is handed. For the run's own logic only;
// the real reader and writer are exercised by the integration tests.
#include "export/ExportEngine.h"
#include "platform/MediaReader.h"
#include "platform/MovieWriter.h"

#include <QDir>
#include <QFile>
#include <QString>
#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace lc::fake {

// The luma of frame k of a synthetic clip, and the left sample at sample frame i of its sound.
inline std::uint8_t lumaOf(std::int64_t k, int base = 0) {
    return std::uint8_t(16 + (base + k) % 200);
}
inline std::int16_t sampleOf(std::int64_t i) {
    return std::int16_t((i * 7) % 20000 - 10000);
}

struct Media {
    int width = 64;
    int height = 36;
    int fps = 30;
    int frames = 0;         // 0: no video track
    std::int64_t audio = 0; // sample frames at 48 kHz; 0: no audio track
    int base = 0;           // added to the frame index in the luma, to tell clips apart
};

class Reader final : public MediaReader {
public:
    std::map<std::string, Media> media; // by file name
    mutable std::atomic<int> liveDecoders{0};
    mutable std::atomic<int> peakDecoders{0};
    mutable std::atomic<int> opened{0};
    mutable std::atomic<int> probed{0};

    Result<MediaInfo> probe(const std::string& path) const override {
        ++probed;
        const Media* m = find(path);
        if (!m) return makeError("Cannot open \"" + name(path) + "\": No such file or directory");
        MediaInfo info;
        if (m->frames > 0) {
            info.video = TrackRange{MediaTime{0, m->fps}, MediaTime{m->frames, m->fps}};
            info.width = m->width;
            info.height = m->height;
            info.frameRate = m->fps;
        }
        if (m->audio > 0) info.audio = TrackRange{MediaTime{0, 48000}, MediaTime{m->audio, 48000}};
        return info;
    }

    Result<std::unique_ptr<VideoDecoder>> openVideo(const std::string& path) const override {
        const Media* m = find(path);
        if (!m || m->frames <= 0) return makeError("\"" + name(path) + "\" has no video track");
        ++opened;
        return std::unique_ptr<VideoDecoder>(std::make_unique<Video>(*m, *this));
    }

    Result<std::unique_ptr<AudioDecoder>> openAudio(const std::string& path) const override {
        const Media* m = find(path);
        if (!m || m->audio <= 0) return makeError("\"" + name(path) + "\" has no audio track");
        return std::unique_ptr<AudioDecoder>(std::make_unique<Audio>(m->audio));
    }

private:
    static std::string name(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }
    const Media* find(const std::string& path) const {
        auto it = media.find(name(path));
        return it == media.end() ? nullptr : &it->second;
    }

    class Video final : public VideoDecoder {
    public:
        Video(Media m, const Reader& owner) : m_(m), owner_(owner) {
            const int now = ++owner_.liveDecoders;
            int peak = owner_.peakDecoders;
            while (now > peak && !owner_.peakDecoders.compare_exchange_weak(peak, now)) {
            }
        }
        ~Video() override { --owner_.liveDecoders; }
        Result<std::optional<Frame>> next() override {
            if (k_ >= m_.frames) return std::optional<Frame>();
            auto pic = YuvFrame::allocate(m_.width, m_.height);
            std::fill(pic->storage.begin(), pic->storage.end(), std::uint8_t(128));
            for (int y = 0; y < m_.height; ++y)
                std::fill_n(pic->planes[0] + std::ptrdiff_t(y) * pic->strides[0], m_.width,
                            lumaOf(k_, m_.base));
            Frame f{std::move(pic), MediaTime{k_, m_.fps}};
            ++k_;
            return std::optional<Frame>(std::move(f));
        }
        Result<void> seek(const MediaTime& t) override {
            // Every frame is a key frame.
            k_ = std::clamp<std::int64_t>(t.convertedTo(m_.fps).value, 0, m_.frames);
            if (MediaTime{k_, m_.fps} > t) --k_;
            k_ = std::max<std::int64_t>(k_, 0);
            return {};
        }

    private:
        Media m_;
        const Reader& owner_;
        std::int64_t k_ = 0;
    };

    class Audio final : public AudioDecoder {
    public:
        explicit Audio(std::int64_t total) : total_(total) {}
        Result<std::optional<Block>> next() override {
            if (at_ >= total_) return std::optional<Block>();
            Block b;
            b.pts = MediaTime{at_, 48000};
            const std::int64_t n = std::min<std::int64_t>(1024, total_ - at_);
            for (std::int64_t i = 0; i < n; ++i) {
                b.samples.push_back(sampleOf(at_ + i));
                b.samples.push_back(std::int16_t(-sampleOf(at_ + i)));
            }
            at_ += n;
            return std::optional<Block>(std::move(b));
        }

    private:
        std::int64_t total_;
        std::int64_t at_ = 0;
    };
};

// What a Writer was handed, kept after the writer is gone.
struct WriterLog {
    std::mutex m;
    std::string path; // of the last writer made
    std::vector<std::int64_t> videoPts;
    std::vector<std::uint8_t> videoLuma; // of each frame's top-left pixel
    std::vector<std::int64_t> audioPts;
    std::vector<std::int16_t> audio;
    int videoInputs = 0;
    bool started = false;
    bool finished = false;
    bool cancelled = false;
};

class Writer final : public MovieWriter {
public:
    // Called with the index of each frame offered; false refuses it (as a full queue does).
    std::function<bool(std::int64_t)> onFrame;
    std::optional<Error> failAddVideo;
    // The writer fails (as on a full disk) when this many frames were taken.
    std::optional<std::int64_t> failAfter;
    Error failure = makeError("Cannot write \"Loomcast Final.mp4\": No space left on device", 28, "POSIX");

    Writer(std::string path, std::shared_ptr<WriterLog> log)
        : MovieWriter(std::move(path), MovieFileType::mp4), log_(std::move(log)) {
        log_->path = this->path();
    }

    Result<InputId> addVideoInput(const VideoSettings&) override {
        if (failAddVideo) return *failAddVideo;
        ++log_->videoInputs;
        return 0;
    }
    Result<InputId> addAudioInput(const AudioSettings&) override { return 1; }
    bool addTimecodeTrack(int) override { return false; }
    void setMetadata(std::string, std::string) override {}
    Result<void> startWriting() override {
        log_->started = true;
        status_ = Status::writing;
        return {};
    }
    void setTimecodeStart(std::uint32_t) override {}
    Result<void> startSession() override { return {}; }
    bool isReadyForMoreMediaData(InputId) const override { return status_ == Status::writing; }
    bool waitUntilReady(InputId id, double) const override { return isReadyForMoreMediaData(id); }
    YuvFramePtr freeVideoFrame() override { return nullptr; }
    bool appendVideo(const YuvFramePtr& frame, std::int64_t pts) override {
        std::lock_guard lock(log_->m);
        if (status_ != Status::writing) return false;
        const auto index = std::int64_t(log_->videoPts.size());
        if (failAfter && index >= *failAfter) {
            status_ = Status::failed;
            error_ = failure;
            return false;
        }
        if (onFrame && !onFrame(index)) return false;
        log_->videoPts.push_back(pts);
        log_->videoLuma.push_back(frame->planes[0][0]);
        return true;
    }
    bool appendAudio(InputId, std::span<const std::int16_t> samples, std::int64_t pts) override {
        std::lock_guard lock(log_->m);
        if (status_ != Status::writing) return false;
        log_->audioPts.push_back(pts);
        log_->audio.insert(log_->audio.end(), samples.begin(), samples.end());
        return true;
    }
    using MovieWriter::appendAudio;
    void markFinished(InputId) override {}
    void finish(std::function<void(Result<void>)> done) override { done(finishAndWait()); }
    Result<void> finishAndWait() override {
        if (status_ == Status::failed) return *error_;
        log_->finished = true;
        status_ = Status::completed;
        // The file appears when it is complete, as with the real writer.
        QFile f(QString::fromStdString(path()));
        if (!f.open(QIODevice::WriteOnly)) return makeError("Cannot create " + path());
        return {};
    }
    void cancel() override {
        log_->cancelled = true;
        status_ = Status::cancelled;
    }
    Status status() const override { return status_; }
    std::optional<Error> error() const override { return error_; }
    void setErrorHandler(std::function<void(const Error&)>) override {}

private:
    std::shared_ptr<WriterLog> log_;
    std::atomic<Status> status_{Status::unknown};
    std::optional<Error> error_;
};

// A session folder's "session.json": recordings (file, fps, start offset, app audio), an
// optional microphone (file, start offset), the focus switches and the output size.
struct Rec {
    QString file;
    int fps = 30;
    double offset = 0;
    bool appAudio = false;
};
inline void writeSession(const QString& folder, const std::vector<Rec>& recs,
                         std::optional<std::pair<QString, double>> mic,
                         const std::vector<std::pair<double, QString>>& focus, int w, int h) {
    QString json = "{\"_ai_instructions\":\"x\",\"version\":1,\"container\":\"mp4\",\"recordings\":[";
    for (std::size_t i = 0; i < recs.size(); ++i)
        json += QStringLiteral(
                    "%1{\"app\":\"A\",\"file\":\"%2\",\"fps\":%3,\"hasAppAudio\":%4,\"hasMicTrack\":false,"
                    "\"height\":%5,\"preset\":\"p\",\"startOffset\":%6,\"startTimecode\":\"\",\"width\":%7,"
                    "\"windowTitle\":\"w\"}")
                    .arg(i ? "," : "")
                    .arg(recs[i].file)
                    .arg(recs[i].fps)
                    .arg(recs[i].appAudio ? "true" : "false")
                    .arg(h)
                    .arg(recs[i].offset)
                    .arg(w);
    json += "],\"mic\":";
    json +=
        mic ? QStringLiteral("{\"device\":\"d\",\"file\":\"%1\",\"startOffset\":%2,\"startTimecode\":\"\"}")
                  .arg(mic->first)
                  .arg(mic->second)
            : QStringLiteral("null");
    json += ",\"focus\":[";
    for (std::size_t i = 0; i < focus.size(); ++i)
        json += QStringLiteral("%1{\"t\":%2,\"file\":\"%3\",\"windowTitle\":\"w\"}")
                    .arg(i ? "," : "")
                    .arg(focus[i].first)
                    .arg(focus[i].second);
    json += QStringLiteral("],\"final\":{\"preset\":{\"name\":\"n\",\"width\":%1,\"height\":%2},"
                           "\"transition\":\"crossfade\",\"transitionDuration\":0.35}}")
                .arg(w)
                .arg(h);
    QFile f(QDir(folder).filePath("session.json"));
    if (f.open(QIODevice::WriteOnly)) f.write(json.toUtf8());
}

} // namespace lc::fake
