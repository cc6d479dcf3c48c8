#pragma once
// Small in-process stand-ins for the platform services and the window recorder, so that the
// model's decisions can be checked without a display or a sound server.
#include "common/Clock.h"
#include "model/app/AppModel.h"

#include <QDir>
#include <QFile>
#include <QThread>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <qcoro/qcorotimer.h>
#include <set>
#include <stdexcept>
#include <thread>

namespace lc::fake {

class Desktop final : public ScreenCapture, public WindowServer, public WindowControl {
public:
    // ScreenCapture
    bool isCaptureAvailable() override { return captureOK; }
    Result<ShareableContent> shareableContent(bool) override {
        std::lock_guard l(mutex);
        if (failContent) return makeError("no content");
        return ShareableContent{windows, {}};
    }
    WindowContentInfo contentInfo(const ShareableWindow&) override { return {}; }
    Result<std::unique_ptr<CaptureStream>> createStream(std::uint32_t, const StreamConfiguration&,
                                                        CaptureStream::Handlers) override {
        return makeError("no streams here");
    }
    Result<BgraFramePtr> screenshotWindow(std::uint32_t, int width, int height, bool) override {
        ++screenshots;
        return BgraFramePtr(BgraFrame::allocate(width, height));
    }
    Result<BgraFramePtr> screenshotDisplay(std::uint32_t, std::span<const std::uint32_t>, int, int) override {
        return makeError("no displays here");
    }

    // WindowServer
    std::vector<Screen> screens() override {
        return {Screen{"s", {0, 0, 1920, 1080}, {0, 0, 1920, 1080}, 1, true}};
    }
    std::optional<std::int32_t> frontmostProcess() override {
        std::lock_guard l(mutex);
        return frontmost;
    }
    std::unique_ptr<Subscription> observeActivations(std::function<void(std::int32_t)> handler) override {
        std::lock_guard l(mutex);
        activation = std::move(handler);
        struct Sub : Subscription {
            Desktop* d;
            explicit Sub(Desktop* desktop) : d(desktop) {}
            ~Sub() override {
                std::lock_guard l(d->mutex);
                d->activation = nullptr;
            }
        };
        return std::make_unique<Sub>(this);
    }
    std::vector<OnScreenWindow> onScreenWindows() override {
        std::lock_guard l(mutex);
        std::vector<OnScreenWindow> out;
        for (std::uint32_t id : stacking)
            out.push_back({id, {}});
        return out;
    }
    std::unique_ptr<OverlayWindow> createOverlay(const std::string&) override { return nullptr; }

    // WindowControl: never trusted, so the resizer leaves windows alone and answers at once.
    bool isTrusted() override { return false; }
    Result<std::vector<std::uint32_t>> windowsOf(std::int32_t) override { return makeError("no", 1); }
    std::optional<Point> position(std::uint32_t) override { return std::nullopt; }
    std::optional<Size> size(std::uint32_t) override { return std::nullopt; }
    std::optional<std::string> title(std::uint32_t) override { return std::nullopt; }
    std::optional<bool> isFullScreen(std::uint32_t) override { return std::nullopt; }
    bool isSizeSettable(std::uint32_t) override { return false; }
    FrameExtents frameExtents(std::uint32_t) override { return {}; }
    bool setPosition(std::uint32_t, Point) override { return false; }
    bool setSize(std::uint32_t, Size) override { return false; }

    void setWindows(std::vector<ShareableWindow> list) {
        std::lock_guard l(mutex);
        windows = std::move(list);
    }
    void setFrontmost(std::optional<std::int32_t> pid) {
        std::lock_guard l(mutex);
        frontmost = pid;
    }

    std::mutex mutex;
    std::atomic<bool> captureOK{true};
    bool failContent = false;
    std::vector<ShareableWindow> windows;
    std::optional<std::int32_t> frontmost;
    std::vector<std::uint32_t> stacking;
    std::function<void(std::int32_t)> activation;
    std::atomic<int> screenshots{0};
};

class Audio final : public AudioSystem {
public:
    Result<std::vector<AudioDevice>> microphones() override {
        if (auth != MicAuthorization::authorized) return makeError("No sound server: Connection refused");
        std::lock_guard l(mutex);
        return devices;
    }
    MicAuthorization micAuthorization() override { return auth; }
    Result<std::unique_ptr<AudioCapture>> captureMicrophone(const std::optional<std::string>&,
                                                            AudioCallbacks callbacks) override {
        ++captures;
        if (captureDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(captureDelayMs.load()));
        if (auth != MicAuthorization::authorized) return makeError("No sound server: Connection refused");
        if (failCapture) return makeError("device gone");
        struct Capture : AudioCapture {
            void stop() override {}
        };
        {
            std::lock_guard l(mutex);
            mic = std::move(callbacks);
        }
        return std::unique_ptr<AudioCapture>(std::make_unique<Capture>());
    }
    Result<std::unique_ptr<AudioCapture>> captureApplication(int, AudioCallbacks) override {
        return makeError("none");
    }

    // As the sound server's thread would: one buffer, or the end of the latest capture.
    void deliver(double hostTime) {
        AudioChunk chunk;
        chunk.hostTime = hostTime;
        chunk.samples.assign(960, 100);
        std::lock_guard l(mutex);
        if (mic.onChunk) mic.onChunk(std::move(chunk));
    }
    void end(const std::string& why) {
        AudioCallbacks callbacks;
        {
            std::lock_guard l(mutex);
            callbacks = std::exchange(mic, {});
        }
        if (callbacks.onEnd) callbacks.onEnd(makeError(why));
    }

    std::mutex mutex;
    std::vector<AudioDevice> devices{{"mic-a", "Mic A", false}, {"mic-b", "Mic B", true}};
    std::atomic<MicAuthorization> auth{MicAuthorization::authorized};
    std::atomic<bool> failCapture{false};
    std::atomic<int> captureDelayMs{0};
    std::atomic<int> captures{0};
    AudioCallbacks mic;
};

class Actions final : public DesktopActions {
public:
    void openFolder(const QString& path) override { opened << path; }
    void revealFile(const QString& path) override { revealed << path; }
    bool openSettings(const QString& anchor) override {
        settings << anchor;
        return true;
    }
    bool hasSettings(const QString&) override { return true; }
    QStringList opened, revealed, settings;
};

// Global shortcuts that bind what they are given unless another program "holds" it.
class Shortcuts final : public GlobalShortcuts {
public:
    Result<void> bind(ShortcutAction action, const std::optional<Shortcut>& combo) override {
        ++binds;
        bound.erase(action);
        if (!combo) return {};
        if (taken.count(combo->text())) return makeError(combo->text() + " is used by another program");
        bound[action] = *combo;
        return {};
    }
    void setHandler(std::function<void(ShortcutAction)> h) override { handler = std::move(h); }
    // A press of what `action` holds; false when it holds nothing.
    bool press(ShortcutAction action) {
        if (!bound.count(action) || !handler) return false;
        handler(action);
        return true;
    }
    std::string text(ShortcutAction action) const {
        const auto it = bound.find(action);
        return it == bound.end() ? std::string() : it->second.text();
    }

    std::map<ShortcutAction, Shortcut> bound;
    std::set<std::string> taken;
    std::function<void(ShortcutAction)> handler;
    int binds = 0;
};

// What a fake recorder does; set per window title before the recorder is made.
struct RecorderPlan {
    std::optional<double> firstFrameOffset = 0.5; // after the session start; none: no frame came
    double duration = 4.0;
    std::optional<std::string> startError;
    int startDelayMs = 0;
    int stopDelayMs = 0;
    // A fault that escapes as an exception, not as an error result.
    std::optional<std::string> startThrows;
    std::optional<std::string> stopThrows;
    // The file was written but could not be finished.
    std::optional<std::string> finishFailure;
    std::optional<std::string> recordThrows; // reading the file's start date for the record
    std::optional<std::string> debugThrows;  // the stop's debug line
};

class Recorder final : public SessionRecorder {
public:
    // The plan is looked up by the window's id when the recorder starts.
    Recorder(AppModel* model, const std::map<std::uint32_t, RecorderPlan>* plans)
        : model_(model), plans_(plans) {}

    void setOnFail(std::function<void(const QString&)> onFail) override { onFail_ = std::move(onFail); }

    QCoro::Task<Result<void>> start(RecorderStart args) override {
        args_ = args;
        const auto it = plans_->find(args.window.windowID);
        plan_ = it == plans_->end() ? RecorderPlan{} : it->second;
        if (plan_.startDelayMs > 0) co_await QCoro::sleepFor(std::chrono::milliseconds(plan_.startDelayMs));
        if (plan_.startThrows) throw std::runtime_error(*plan_.startThrows);
        if (plan_.startError) co_return makeError(*plan_.startError);
        QFile f(args.path);
        if (!f.open(QIODevice::WriteOnly)) co_return makeError("cannot create file");
        f.close();
        running = true;
        if (plan_.firstFrameOffset) {
            first_ = model_->session().sessionStart() + *plan_.firstFrameOffset;
            date_ = std::chrono::system_clock::now();
        }
        co_return Result<void>{};
    }

    QCoro::Task<double> stop() override {
        ++stops;
        if (plan_.stopDelayMs > 0) co_await QCoro::sleepFor(std::chrono::milliseconds(plan_.stopDelayMs));
        if (plan_.stopThrows) throw std::runtime_error(*plan_.stopThrows);
        running = false;
        co_return plan_.duration;
    }

    void pause(double at) override { calls.push_back({true, at}); }
    void resume(double at) override { calls.push_back({false, at}); }

    // Calls the failure handler from another thread, as a capture thread would.
    void failFromThread(const QString& message) {
        std::unique_ptr<QThread> t(QThread::create([this, message] { onFail_(message); }));
        t->start();
        t->wait();
    }

    std::optional<QString> finishFailure() const override {
        return plan_.finishFailure && !running ? std::optional(QString::fromStdString(*plan_.finishFailure))
                                               : std::nullopt;
    }
    std::optional<double> firstFrameUptime() const override { return first_; }
    std::optional<Timecode::Instant> firstFrameDate() const override {
        if (plan_.recordThrows) throw std::runtime_error(*plan_.recordThrows);
        return date_;
    }
    int fpsValue() const override { return args_.fps; }
    bool hasAppAudio() const override { return args_.appAudio; }
    QString debugLine() const override {
        if (plan_.debugThrows) throw std::runtime_error(*plan_.debugThrows);
        return QStringLiteral("audio rx=0");
    }

    const RecorderStart& args() const { return args_; }
    bool running = false;
    int stops = 0;
    struct PauseCall {
        bool pause = false; // else resume
        double at = 0;
    };
    std::vector<PauseCall> calls;

private:
    AppModel* model_;
    const std::map<std::uint32_t, RecorderPlan>* plans_;
    RecorderPlan plan_;
    std::function<void(const QString&)> onFail_;
    RecorderStart args_;
    std::optional<double> first_;
    std::optional<Timecode::Instant> date_;
};

inline ShareableWindow window(std::uint32_t id, const std::string& app, const std::string& title,
                              std::int32_t pid, double w = 800, double h = 600) {
    ShareableWindow s;
    s.windowID = id;
    s.frame = {0, 0, w, h};
    s.title = title;
    s.isOnScreen = true;
    s.owningApplication = OwningApplication{pid, "org." + app, app};
    return s;
}

// A model's services on these fakes: no refresh at launch, no waits, sessions under `root`.
// The caller adds the recorder factory.
inline AppServices services(std::shared_ptr<Desktop> desktop, std::shared_ptr<Audio> audio,
                            std::shared_ptr<Actions> actions, const QString& root) {
    AppServices s;
    s.capture = desktop;
    s.server = desktop;
    s.control = desktop;
    s.audio = std::move(audio);
    s.desktop = std::move(actions);
    s.self = Catalogue::Self{QString("Loomcast"), std::nullopt};
    s.sessionsRoot = root;
    s.refreshOnLaunch = false;
    s.resizerSleep = [](double) {};
    s.settleSeconds = 0;
    return s;
}

} // namespace lc::fake
