#pragma once
// Drives one export from the prepared plan to the writer: decodes the clips on screen,
// composes every output frame, mixes the sound and hands both to the writer in order.
// run() blocks its caller (the export's own thread); composition runs on named workers inside.
#include "common/Result.h"
#include "export/ExportEngine.h"
#include "platform/MovieWriter.h"
#include "platform/YuvFramePool.h"

#include <cstdint>
#include <deque>
#include <future>
#include <memory>
#include <vector>

namespace lc {

class AudioMixer;
class FocusCompositor;

class Exporter {
public:
    // `plan`, `reader`, `writer` and `session` outlive the exporter. `writer` has a video input
    // of the plan's size and rate and the audio input `audioInput`, and its session started.
    Exporter(const ExportEngine::Prepared& plan, const MediaReader& reader, MovieWriter& writer,
             MovieWriter::InputId audioInput, ExportSession& session);
    ~Exporter();
    Exporter(const Exporter&) = delete;
    Exporter& operator=(const Exporter&) = delete;

    // Every frame and all the sound, then returns; the caller finishes the writer. Returns early
    // (successfully) once the session is cancelled; fails with the writer's or a decoder's error.
    Result<void> run();

private:
    struct Output {
        std::shared_future<YuvFramePtr> frame;
        std::int64_t n;
    };

    Result<void> writeFront();
    Result<void> writeAudioUntil(std::int64_t sampleFrame);
    Result<void> waitForWriter();
    YuvFramePtr newFrame();

    const ExportEngine::Prepared& plan_;
    const Timeline& tl_;
    const MediaReader& reader_;
    MovieWriter& writer_;
    MovieWriter::InputId audioInput_;
    ExportSession& session_;
    std::unique_ptr<FocusCompositor> compositor_;
    YuvFramePool spare_; // when the writer's own frames are all in flight
    std::deque<Output> pending_;
    std::unique_ptr<AudioMixer> mixer_;
    std::vector<std::int16_t> audio_;
    std::int64_t written_ = 0;
    std::int64_t total_ = 0;
};

} // namespace lc
