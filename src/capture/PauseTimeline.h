#pragma once
// The pauses of a session on the shared clock, and the time that remains once they are cut out.
// A value type: each recorder, the microphone file and the session keep their own copy, fed with
// the same pause and resume instants, so that all of them cut the very same spans.
#include "platform/Frame.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

namespace lc {

class PauseTimeline {
public:
    struct Span {
        double at = 0;     // shared-clock time the pause began
        double length = 0; // seconds it lasted
    };

    // Ignored while paused.
    void pause(double at);
    // Ignored unless paused; a resume before the pause's start counts as an empty pause.
    void resume(double at);
    bool paused() const { return pausedAt_.has_value(); }
    const std::optional<double>& pausedAt() const { return pausedAt_; }
    // The finished pauses, in order.
    const std::vector<Span>& spans() const { return spans_; }

    // Seconds from `zero` to `t` with every pause between them cut out; absent when `t` falls in
    // a pause (the running one included). A pause's own start and end instants are outside it. Only the part
    // of a pause after `zero` counts.
    std::optional<double> elapsed(double zero, double t) const;
    // The same, but a time inside a pause counts as the pause's start.
    double elapsedClamped(double zero, double t) const;
    // The shared-clock time at which `t` ends up when it falls in a pause: the pause's start.
    double clamp(double t) const;
    // The end of the pause `t` falls in (absent: not in a finished pause).
    std::optional<double> resumeAfter(double t) const;

    // Which sample frames of a buffer that starts at `start` and holds `frames` at `rate` lie
    // outside the pauses: a pause that covers its head or its tail is trimmed off. Absent when
    // nothing is left.
    struct Kept {
        std::size_t first = 0; // first frame kept
        std::size_t count = 0; // frames kept
        double start = 0;      // shared-clock time of the first frame kept
    };
    std::optional<Kept> keep(double start, std::size_t frames, int rate) const;

    // The part of `chunk` outside the pauses: the chunk itself when nothing is paused, a trimmed
    // copy, or null when all of it falls in a pause.
    std::shared_ptr<const AudioChunk> unpaused(const std::shared_ptr<const AudioChunk>& chunk) const;

private:
    std::optional<double> pausedAt_;
    std::vector<Span> spans_;
};

} // namespace lc
