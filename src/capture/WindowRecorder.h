#pragma once
// Records one window into one movie file: the writer and its tracks, a capture stream for the
// window, its application audio and a copy of the microphone, all on one timeline that starts
// at the first complete frame. A recorder is used for one file only.
//
// Threads: every recorder owns a worker thread ("loomcast.recorder") with its own event loop.
// All recording work runs there: capture frames, application audio and microphone buffers hop
// onto it, the frame timer fires there and the file is finished there. Nothing there sleeps: the
// waits of the stop are awaited timers, so late audio keeps being handled. The public calls are made from any
// other thread (normally the main thread); start() and stop() return futures, so the session can co_await
// them (QCoro) and tests can wait on them.
#include "capture/MicMonitor.h"
#include "capture/Timecode.h"
#include "common/Result.h"
#include "model/Preset.h"
#include "platform/Audio.h"
#include "platform/Geometry.h"
#include "platform/MovieWriter.h"
#include "platform/ScreenCapture.h"

#include <QFuture>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QThread;

namespace lc {

// The platform services a recorder works on. The composition root chooses the back ends.
struct RecorderServices {
    using WriterFactory =
        std::function<Result<std::unique_ptr<MovieWriter>>(const std::string& path, MovieFileType type)>;

    ScreenCapture* capture = nullptr;   // required; must outlive the recorder
    std::shared_ptr<AudioSystem> audio; // application audio; null: none is ever captured
    WriterFactory makeWriter;           // required: the file's writer (fragmented, crash-safe)
    std::function<double()> clock;      // the shared clock; null: lc::uptime
    double lateAudioWait = 2.7;         // seconds to wait for late application audio at stop
};

class WindowRecorder {
public:
    using Services = RecorderServices;
    using WriterFactory = RecorderServices::WriterFactory;

    // Where the recorder is in the life of its file. It only ever moves forward:
    //   starting  → recording  at the first complete frame (the file's timeline begins)
    //   starting  → done       stop() before any frame, or start() failed: no file remains
    //   recording → draining   stop(): the video has ended, late application audio still comes in
    //   draining  → finishing  capture stopped, pending audio flushed, the writer closes the file
    //   draining  → done       the writer had already failed: it is cancelled (its part is kept)
    //   finishing → done       the file is closed; stop() resolves
    enum class Phase { starting, recording, draining, finishing, done };

    struct StartOptions {
        ShareableWindow window;
        Preset preset; // only its width and height are used: the output size
        int fps = 30;
        bool hevc = false;
        std::string path; // the movie file to create (must not exist)
        bool appAudio = false;
        MicMonitor* mic = nullptr; // copy this microphone into a second audio track; must outlive stop()
        bool mp4 = false;          // MP4 (metadata comment) instead of MOV (timecode track)
        // The session is paused since this shared-clock time: the file begins at the resume.
        std::optional<double> pausedAt;
    };

    // Counters for benchmarks and tests.
    struct Stats {
        std::uint64_t ticks = 0;         // frame-timer ticks handled
        std::uint64_t skippedTicks = 0;  // ticks the timer had to drop because the thread was late
        std::uint64_t framesWritten = 0; // video frames the writer took: one per slot of the grid
        std::uint64_t pictures = 0;      // of them, pictures composed anew (the rest repeat one)
    };

    // Any thread. Starts the worker thread; nothing is captured before start().
    explicit WindowRecorder(Services services);
    // Any thread but the recorder's own (so not from inside onFail). Stops and finishes the file
    // first if that has not happened, waiting for it.
    ~WindowRecorder();
    WindowRecorder(const WindowRecorder&) = delete;
    WindowRecorder& operator=(const WindowRecorder&) = delete;

    // Any thread. Creates the writer with all its tracks, configures and starts the capture
    // stream, and subscribes to the microphone. Resolves once the stream runs (no frame may have
    // arrived yet), or with the error; after an error nothing is left running and no file
    // remains. A second call, or a call after stop(), resolves with an error and does nothing.
    QFuture<Result<void>> start(StartOptions options);
    Result<void> startAndWait(StartOptions options);

    // Any thread. From shared-clock time `at` on no frame and no audio is recorded; at the resume
    // the file's timeline goes on where it paused, the paused span cut out of the grid, and the
    // first slot after it shows the window as it is then. A pause before the first frame moves
    // the file's start to the resume. Ignored while paused (resume: unless). The futures resolve
    // once the recorder's thread has taken the change.
    QFuture<void> pause(double at);
    QFuture<void> resume(double at);

    // Any thread. Ends the video at the current time (while paused: at the pause), waits for late
    // application audio, stops capture and finishes the file (or cancels it when no frame was
    // ever written). Resolves with the video duration in seconds once the file is closed:
    // frames × 1/fps, as the file has it (also when the writer failed before: what it took; 0
    // when no frame was written). Whether the close itself failed is finishFailure(). Every call
    // gives the same future. Once stop() has been called, onFail is never called.
    QFuture<double> stop();
    double stopAndWait();

    // Any thread; set it before start(). Called at most once, with one line of text, when capture
    // or writing fails by itself. Runs on the recorder's thread while stop() is held off: hand
    // the message on to your own thread and return, without calling back into the recorder.
    void setOnFail(std::function<void(const std::string&)> onFail);
    // Any thread; set it before start(). The application audio could not start ("No sound: …")
    // or stopped ("Sound stopped at MM:SS: …"); the video goes on either way. Runs on the
    // recorder's thread, maybe several times: hand the text on and return. A capture that stops
    // is started again every second while recording; what it captures then lands at its own time
    // (silence in between).
    void setOnSound(std::function<void(const std::string&)> onSound);

    // The readings below: any thread.
    Phase phase() const;
    // The zero of the file's timeline on the shared clock and on the wall clock (taken once,
    // from the shared clock's distance to it): half a period before the first complete frame's
    // capture. Video frames sit on the grid k/fps from there, one per slot; each slot shows the
    // newest frame captured at or before the slot's middle, (k + ½)/fps, so the first frame's
    // slot is slot 0 and a window that stops drawing repeats its last picture. The pauses after
    // the zero are cut from the grid; a file that begins in a pause has its zero at the resume.
    // Absent until the first frame.
    std::optional<double> firstFrameUptime() const;
    std::optional<Timecode::Instant> firstFrameDate() const;
    // The video duration returned by stop(); 0 before.
    double duration() const;
    // Why the file could not be finished after stop() (it is then left as the writer had it).
    std::optional<std::string> finishFailure() const;
    int fpsValue() const;
    // Whether the file has an application-audio track (asked for, and its capture started).
    bool hasAppAudio() const;
    // The latest application-audio text given to onSound, if any.
    std::optional<std::string> soundNote() const;
    // "audio rx=… notReady=… afterEnd=… firstRel=… lastRel=… videoEndRel=… lastRxRel=…"
    std::string debugLine() const;
    Stats stats() const;

    // Pure helpers, any thread.
    // True only when the process was started with both "--selftest-multi" and "--no-cursor":
    // recordings then leave the pointer out.
    static bool hideCursorForMarketing();
    // Pixel size of a content size in points: each side the nearest even number, at least 2.
    static Size captureSize(Size contentPoints, double pointPixelScale);
    // "timecode=HH:MM:SS:FF fps=N start=<ISO 8601 with offset>" for an MP4 file's comment.
    static std::string mp4Comment(Timecode::Instant firstFrameDate, int fps);
    static std::string isoDate(Timecode::Instant instant);
    // Shortest text that reads back to the same value, always with a decimal point.
    static std::string formatReal(double value);

private:
    class Core;
    struct Shared;
    QFuture<void> applyOnThread(std::function<void(Core&)> change);
    std::shared_ptr<Shared> shared_;
    std::unique_ptr<Core> core_;
    std::unique_ptr<QThread> thread_;
};

} // namespace lc
