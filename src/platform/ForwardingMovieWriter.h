#pragma once
// A writer that hands every call to another one; subclasses change the few they need (a tap
// on the frames, a gate in front of the encoder). Same threads and ownership as the inner one.
#include "platform/MovieWriter.h"

#include <memory>
#include <utility>

namespace lc {

class ForwardingMovieWriter : public MovieWriter {
public:
    explicit ForwardingMovieWriter(std::unique_ptr<MovieWriter> inner)
        : MovieWriter(inner->path(), inner->fileType()), inner_(std::move(inner)) {}

    Result<InputId> addVideoInput(const VideoSettings& s) override { return inner_->addVideoInput(s); }
    Result<InputId> addAudioInput(const AudioSettings& s) override { return inner_->addAudioInput(s); }
    bool addTimecodeTrack(int fps) override { return inner_->addTimecodeTrack(fps); }
    void setMetadata(std::string comment, std::string date) override {
        inner_->setMetadata(std::move(comment), std::move(date));
    }
    Result<void> startWriting() override { return inner_->startWriting(); }
    void setTimecodeStart(std::uint32_t frame) override { inner_->setTimecodeStart(frame); }
    Result<void> startSession() override { return inner_->startSession(); }
    bool isReadyForMoreMediaData(InputId input) const override {
        return inner_->isReadyForMoreMediaData(input);
    }
    bool waitUntilReady(InputId input, double timeout) const override {
        return inner_->waitUntilReady(input, timeout);
    }
    YuvFramePtr freeVideoFrame() override { return inner_->freeVideoFrame(); }
    bool appendVideo(const YuvFramePtr& frame, std::int64_t pts) override {
        return inner_->appendVideo(frame, pts);
    }
    bool appendAudio(InputId input, std::span<const std::int16_t> samples, std::int64_t pts) override {
        return inner_->appendAudio(input, samples, pts);
    }
    using MovieWriter::appendAudio;
    void markFinished(InputId input) override { inner_->markFinished(input); }
    void finish(std::function<void(Result<void>)> done) override { inner_->finish(std::move(done)); }
    Result<void> finishAndWait() override { return inner_->finishAndWait(); }
    void cancel() override { inner_->cancel(); }
    Status status() const override { return inner_->status(); }
    std::optional<Error> error() const override { return inner_->error(); }
    void setErrorHandler(std::function<void(const Error&)> handler) override {
        inner_->setErrorHandler(std::move(handler));
    }

protected:
    MovieWriter& inner() { return *inner_; }

private:
    std::unique_ptr<MovieWriter> inner_;
};

} // namespace lc
