#pragma once
// The final video's plan, computed without touching any media: which clip is shown when,
// where the dissolves fall, how loud each clip's application audio is at any moment, the
// frame rate, the size and the length. Every time is exact on the 1/600 s grid or on the
// media's own time base.
#include "platform/MediaTime.h"
#include "session/SessionDocument.h"

#include <QString>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace lc {

// The dissolve at every focus switch lasts at most this long.
inline constexpr double dissolveSeconds = 0.35;

// One clip's video as placed on the shared clock: its first sample lands at `start`.
struct PlacedVideo {
    QString file;
    int trackId = 0;
    MediaTime start;
    MediaTime duration;
};

// A piece of audio on the shared clock (application audio of a clip, or the microphone).
struct PlacedAudio {
    QString file;
    int trackId = 0;
    MediaTime at;       // where the piece starts on the shared clock
    MediaTime duration; // how much of it plays
};

struct TimelineInput {
    std::vector<PlacedVideo> videos;   // recordings with a video track, in document order
    std::vector<PlacedAudio> appAudio; // application audio pieces, in document order
    std::optional<PlacedAudio> mic;
    bool documentHasMic = false; // the document names a microphone (even one without audio)
    std::vector<FocusSwitch> focus;
    int fps = 30; // highest fps among all recordings of the document
    int width = 0;
    int height = 0;
};

struct Segment {
    double t = 0;
    QString file;
    friend bool operator==(const Segment&, const Segment&) = default;
};

// What the compositor draws over [start, end): `from` alone, or `from` dissolving into `to`.
struct FocusInstruction {
    MediaTime start;
    MediaTime end;
    int from = 0;
    std::optional<int> to;
};

// The volume of one application-audio track over the whole video. Each focused segment of
// the clip contributes v while it is shown, rising over its dissolve in and falling over the
// next switch's dissolve; the contributions add up, so a clip that dissolves into itself
// keeps its level.
struct VolumeAutomation {
    struct Span {
        MediaTime inStart;
        MediaTime inDuration; // zero: at v from inStart
        std::optional<MediaTime> outStart;
        MediaTime outDuration;
    };
    int trackId = 0;
    QString file;
    double level = 1.0; // v
    std::vector<Span> spans;

    double gainAt(const MediaTime& t) const;
};

// The output frame rate: the highest of all recordings (30 when there are none).
int highestFps(const std::vector<SessionRecording>& recordings);

class Timeline {
public:
    static Timeline build(const TimelineInput& input);

    std::vector<Segment> segments;
    std::vector<FocusInstruction> instructions;
    std::vector<VolumeAutomation> audioMix; // one per application-audio track that is heard
    std::map<QString, int> trackOf;
    int fps = 30;
    int width = 0;
    int height = 0;
    MediaTime length; // end of the latest piece

    double lengthSeconds() const { return length.seconds(); }
    // Output frames at n / fps for every n with n / fps < length.
    std::int64_t frameCount() const;
    MediaTime frameTime(std::int64_t n) const { return MediaTime{n, fps}; }
    // The instruction in force at `t`, or nothing outside them all.
    const FocusInstruction* instructionAt(const MediaTime& t) const;
    // How far a dissolve has come at `t`: 0 shows `from` alone, 1 `to` alone.
    static double dissolveProgress(const FocusInstruction& in, const MediaTime& t);
};

} // namespace lc
