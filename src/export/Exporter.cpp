#include "export/Exporter.h"

#include "export/AudioMixer.h"
#include "export/ClipFeed.h"
#include "export/FocusCompositor.h"
#include "export/WorkQueue.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <thread>

namespace lc {
namespace {

// Half the machine composes; the encoder and the two decoders share the rest.
int composeThreads() {
    const int cores = int(std::thread::hardware_concurrency());
    return std::clamp(cores / 2, 1, 4);
}

} // namespace

Exporter::Exporter(const ExportEngine::Prepared& plan, const MediaReader& reader, MovieWriter& writer,
                   MovieWriter::InputId audioInput, ExportSession& session)
    : plan_(plan), tl_(plan.timeline), reader_(reader), writer_(writer), audioInput_(audioInput),
      session_(session), compositor_(std::make_unique<FocusCompositor>(plan.renderWidth, plan.renderHeight)),
      spare_(plan.renderWidth, plan.renderHeight, 2) {}

Exporter::~Exporter() = default;

YuvFramePtr Exporter::newFrame() {
    if (YuvFramePtr f = writer_.freeVideoFrame()) return f;
    if (YuvFramePtr f = spare_.acquire()) return f;
    return YuvFrame::allocate(plan_.renderWidth, plan_.renderHeight);
}

Result<void> Exporter::waitForWriter() {
    if (writer_.status() == MovieWriter::Status::failed) {
        const auto e = writer_.error();
        return e ? *e : makeError("Export failed: the writer stopped");
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
    ++written_;
    session_.setProgress(double(written_) / double(total_));
    return {};
}

Result<void> Exporter::run() {
    total_ = tl_.frameCount();
    // Each stretch of consecutive output frames that shows a clip (as the picture, or as the
    // incoming one in a dissolve) gets a feed of its own for just that stretch, so decoders and
    // their frames exist only for the clips on screen: two at most.
    std::map<int, const ExportEngine::Clip*> clips;
    for (const ExportEngine::Clip& c : plan_.clips)
        clips[c.trackId] = &c;
    std::map<int, std::deque<std::vector<std::int64_t>>> stretches;
    auto need = [&](int id, std::int64_t n) {
        auto& list = stretches[id];
        if (list.empty() || list.back().back() != n - 1) list.emplace_back();
        list.back().push_back(n);
    };
    for (std::int64_t n = 0; n < total_; ++n) {
        if (const FocusInstruction* in = tl_.instructionAt(tl_.frameTime(n))) {
            need(in->from, n);
            if (in->to && *in->to != in->from) need(*in->to, n);
        }
    }
    std::map<int, std::unique_ptr<ClipFeed>> feeds; // the clips on screen now
    auto take = [&](int id, std::int64_t n) -> Result<YuvFramePtr> {
        auto it = feeds.find(id);
        if (it == feeds.end()) {
            auto& list = stretches.at(id);
            auto feed = std::make_unique<ClipFeed>(reader_, *clips.at(id), std::move(list.front()), tl_.fps);
            list.pop_front();
            feed->start();
            it = feeds.emplace(id, std::move(feed)).first;
        }
        auto picture = it->second->take(n);
        // Its stretch is over: the decoder goes now, before the next clip's opens.
        if (it->second->lastFrame() == n) feeds.erase(it);
        return picture;
    };

    const std::int64_t audioTotal =
        std::int64_t((__int128(tl_.length.value) * 48000 + tl_.length.scale - 1) / tl_.length.scale);
    mixer_ = std::make_unique<AudioMixer>(reader_, plan_.audio, tl_.audioMix, audioTotal);
    const int threads = composeThreads();
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
                auto f = take(in->from, n);
                if (!f) {
                    result = f.error();
                    break;
                }
                from = std::move(*f);
                if (in->to && *in->to == in->from) {
                    to = from;
                } else if (in->to) {
                    auto g = take(*in->to, n);
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
            } else if (!dissolve && from && compositor_->passesThrough(*from)) {
                std::promise<YuvFramePtr> ready;
                ready.set_value(from);
                output = ready.get_future().share();
            } else {
                const double p = dissolve ? Timeline::dissolveProgress(*in, t) : 0.0;
                auto task = std::make_shared<std::packaged_task<YuvFramePtr()>>([this, from, to, p] {
                    YuvFramePtr dst = newFrame();
                    compositor_->compose(from.get(), to.get(), p, *dst);
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
        feeds.clear();
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

} // namespace lc
