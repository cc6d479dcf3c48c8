#include "export/Timeline.h"

#include <algorithm>
#include <cmath>

namespace lc {
namespace {

MediaTime T(double seconds) {
    return MediaTime::fromSeconds(seconds, 600);
}

double fraction(const MediaTime& t, const MediaTime& start, const MediaTime& duration) {
    if (duration.value <= 0) return 1.0;
    return std::clamp((t - start).seconds() / duration.seconds(), 0.0, 1.0);
}

} // namespace

int highestFps(const std::vector<SessionRecording>& recordings) {
    if (recordings.empty()) return 30;
    int best = recordings.front().fps;
    for (const SessionRecording& r : recordings)
        best = std::max(best, r.fps);
    return best;
}

double VolumeAutomation::gainAt(const MediaTime& t) const {
    double g = 0;
    for (const Span& s : spans) {
        if (t < s.inStart) continue;
        double c = level;
        if (t < s.inStart + s.inDuration) c = level * fraction(t, s.inStart, s.inDuration);
        if (s.outStart && *s.outStart <= t) {
            c = t < *s.outStart + s.outDuration ? level * (1.0 - fraction(t, *s.outStart, s.outDuration))
                                                : 0.0;
        }
        g += c;
    }
    return g;
}

Timeline Timeline::build(const TimelineInput& in) {
    Timeline tl;
    tl.fps = in.fps;
    tl.width = in.width;
    tl.height = in.height;

    // The composition's length: the end of the latest piece of any kind.
    MediaTime end{0, 600};
    for (const PlacedVideo& v : in.videos) {
        tl.trackOf[v.file] = v.trackId; // a later recording of the same name replaces the earlier
        end = maxTime(end, v.start + v.duration);
    }
    std::map<QString, const PlacedAudio*> appAudioOf;
    for (const PlacedAudio& a : in.appAudio) {
        appAudioOf[a.file] = &a;
        end = maxTime(end, a.at + a.duration);
    }
    if (in.mic) end = maxTime(end, in.mic->at + in.mic->duration);
    tl.length = end;
    const double lengthSeconds = end.seconds();

    // Segments: focus in time order (stable), only clips that are in the composition, the
    // first shown from the very start.
    std::vector<FocusSwitch> focus = in.focus;
    std::stable_sort(focus.begin(), focus.end(),
                     [](const FocusSwitch& a, const FocusSwitch& b) { return a.t < b.t; });
    for (const FocusSwitch& f : focus)
        if (tl.trackOf.count(f.file)) tl.segments.push_back({f.t, f.file});
    if (tl.segments.empty()) {
        for (const PlacedVideo& v : in.videos) {
            if (tl.trackOf.count(v.file)) {
                tl.segments.push_back({0, v.file});
                break;
            }
        }
    }
    if (tl.segments.empty()) return tl;
    tl.segments.front().t = 0;

    const std::size_t n = tl.segments.size();
    auto next = [&](std::size_t i) { return i + 1 < n ? tl.segments[i + 1].t : lengthSeconds; };
    auto window = [&](std::size_t i) {
        return std::min(std::max(next(i) - tl.segments[i].t, 0.0), dissolveSeconds);
    };

    for (std::size_t i = 0; i < n; ++i) {
        const Segment& s = tl.segments[i];
        MediaTime holdStart{0, 600};
        if (i > 0) {
            const MediaTime start = T(s.t);
            const MediaTime stop = minTime(T(s.t + window(i)), end);
            if (start < stop)
                tl.instructions.push_back(
                    {start, stop, tl.trackOf[tl.segments[i - 1].file], tl.trackOf[s.file]});
            holdStart = stop;
        }
        const MediaTime holdEnd = i + 1 < n ? T(tl.segments[i + 1].t) : end;
        if (holdStart < holdEnd)
            tl.instructions.push_back({holdStart, holdEnd, tl.trackOf[s.file], std::nullopt});
    }

    const double v = in.documentHasMic ? 0.25 : 1.0;
    for (const auto& [file, piece] : appAudioOf) {
        VolumeAutomation mix;
        mix.trackId = piece->trackId;
        mix.file = file;
        mix.level = v;
        for (std::size_t k = 0; k < n; ++k) {
            if (tl.segments[k].file != file) continue;
            VolumeAutomation::Span span;
            span.inStart = k == 0 ? MediaTime{0, 600} : T(tl.segments[k].t);
            span.inDuration = k == 0 ? MediaTime{0, 600} : T(window(k));
            if (k + 1 < n) {
                span.outStart = T(tl.segments[k + 1].t);
                span.outDuration = T(window(k + 1));
            }
            mix.spans.push_back(span);
        }
        tl.audioMix.push_back(std::move(mix));
    }
    return tl;
}

std::int64_t Timeline::frameCount() const {
    if (length.value <= 0 || fps <= 0) return 0;
    // The smallest n with n / fps >= length.
    const __int128 num = __int128(length.value) * fps;
    return std::int64_t((num + length.scale - 1) / length.scale);
}

const FocusInstruction* Timeline::instructionAt(const MediaTime& t) const {
    // Instructions are in time order; the last one starting at or before t decides.
    auto it = std::upper_bound(instructions.begin(), instructions.end(), t,
                               [](const MediaTime& x, const FocusInstruction& in) { return x < in.start; });
    while (it != instructions.begin()) {
        --it;
        if (it->start <= t && t < it->end) return &*it;
        if (it->end <= t) break;
    }
    return nullptr;
}

double Timeline::dissolveProgress(const FocusInstruction& in, const MediaTime& t) {
    const double d = std::max((in.end - in.start).seconds(), 0.001);
    const double p = (t - in.start).seconds() / d;
    if (!(p > 0)) return 0;
    return std::min(p, 1.0);
}

} // namespace lc
