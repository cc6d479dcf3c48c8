#pragma once
// Sound from the sound server: the microphones, capture from one of them, and the sound that one
// application (a process and everything it started) plays. Captured sound arrives as
// lc::AudioChunk (48 kHz stereo s16) stamped with the uptime() of its first sample.
// No back-end type appears here.
#include "common/Result.h"
#include "platform/Frame.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lc {

struct AudioDevice {
    std::string id;   // unique while the device exists
    std::string name; // for display
    bool isDefault = false;
};

// Whether the program may use the microphone. There is no prompt on this platform: access is
// authorized while a sound server answers and restricted when none runs.
enum class MicAuthorization { notDetermined, restricted, denied, authorized };

// Receivers of one capture. Both run on the capture's own thread, one call at a time, and must
// not block: hand the chunk on and return. Neither runs after AudioCapture::stop() returned.
struct AudioCallbacks {
    std::function<void(AudioChunk)> onChunk;
    // The capture ended on its own (device removed, sound server gone); at most once.
    std::function<void(const Error&)> onEnd;
};

// One running capture. stop() (or destruction) ends it; call it from any thread except from
// inside the capture's own callbacks.
class AudioCapture {
public:
    virtual ~AudioCapture() = default;
    virtual void stop() = 0;
};

class AudioSystem {
public:
    virtual ~AudioSystem() = default;

    // Microphones (the server's sources that are not monitors of an output), the default one
    // marked. Fails when no sound server answers.
    virtual Result<std::vector<AudioDevice>> microphones() = 0;

    virtual MicAuthorization micAuthorization() = 0;

    // Captures the microphone `deviceId`, or the server's default source when absent.
    virtual Result<std::unique_ptr<AudioCapture>>
    captureMicrophone(const std::optional<std::string>& deviceId, AudioCallbacks callbacks) = 0;

    // Captures what process `pid` and its descendants play, as one mixed stream. Streams that
    // start, move or end during the capture are followed. Where the application plays nothing
    // no chunk arrives: silence is never invented.
    virtual Result<std::unique_ptr<AudioCapture>> captureApplication(int pid, AudioCallbacks callbacks) = 0;
};

// The system's sound server (PulseAudio, or PipeWire's PulseAudio server); one shared object.
// Defined by the back end (src/platform/pulse): only the composition root and the back end's own
// tests call it; everything else is handed an AudioSystem.
std::shared_ptr<AudioSystem> systemAudio();

} // namespace lc
