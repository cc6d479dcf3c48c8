// The session's recorders on the real WindowRecorder.
#include "capture/WindowRecorder.h"
#include "model/app/SessionRecorder.h"

#include <qcoro/qcorofuture.h>

namespace lc {

namespace {

class WindowRecorderAdapter final : public SessionRecorder {
public:
    explicit WindowRecorderAdapter(RecorderServices services) : recorder_(std::move(services)) {}

    void setOnFail(std::function<void(const QString&)> onFail) override {
        recorder_.setOnFail([onFail = std::move(onFail)](const std::string& message) {
            if (onFail) onFail(QString::fromStdString(message));
        });
    }

    void setOnSound(std::function<void(const QString&)> onSound) override {
        recorder_.setOnSound([onSound = std::move(onSound)](const std::string& message) {
            if (onSound) onSound(QString::fromStdString(message));
        });
    }

    QCoro::Task<Result<void>> start(RecorderStart args) override {
        WindowRecorder::StartOptions o;
        o.window = args.window;
        o.preset = args.preset;
        o.fps = args.fps;
        o.hevc = args.hevc;
        o.path = args.path.toStdString();
        o.appAudio = args.appAudio;
        o.mic = args.mic;
        o.mp4 = args.mp4;
        o.pausedAt = args.pausedAt;
        auto started = recorder_.start(std::move(o));
        co_return co_await started;
    }

    QCoro::Task<double> stop() override {
        auto stopped = recorder_.stop();
        co_return co_await stopped;
    }

    std::optional<QString> finishFailure() const override {
        const auto failure = recorder_.finishFailure();
        return failure ? std::optional(QString::fromStdString(*failure)) : std::nullopt;
    }
    void pause(double at) override { recorder_.pause(at); }
    void resume(double at) override { recorder_.resume(at); }

    std::optional<double> firstFrameUptime() const override { return recorder_.firstFrameUptime(); }
    std::optional<Timecode::Instant> firstFrameDate() const override { return recorder_.firstFrameDate(); }
    int fpsValue() const override { return recorder_.fpsValue(); }
    bool hasAppAudio() const override { return recorder_.hasAppAudio(); }
    QString debugLine() const override { return QString::fromStdString(recorder_.debugLine()); }

private:
    WindowRecorder recorder_;
};

} // namespace

RecorderFactory windowRecorderFactory(RecorderServices services) {
    return [services = std::move(services)]() -> std::shared_ptr<SessionRecorder> {
        return std::make_shared<WindowRecorderAdapter>(services);
    };
}

} // namespace lc
