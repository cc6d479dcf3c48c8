#include "platform/x11/X11CaptureStream.h"

#include "platform/x11/CaptureWorker.h"

#include <future>
#include <thread>

namespace lc::x11 {
namespace {

class X11CaptureStream final : public CaptureStream {
public:
    explicit X11CaptureStream(std::shared_ptr<CaptureState> s) : s_(std::move(s)) {}
    ~X11CaptureStream() override { stop(); }

    Result<void> start() override {
        if (thread_.joinable()) return makeError("The capture stream was already started");
        std::promise<Result<void>> ready;
        auto started = ready.get_future();
        thread_ = std::thread([s = s_, ready = std::move(ready)]() mutable {
            CaptureWorker w(s);
            auto r = w.setUp();
            const bool ok = r.ok();
            ready.set_value(std::move(r));
            if (ok) w.run();
        });
        auto r = started.get();
        if (!r.ok()) thread_.join();
        return r;
    }

    void stop() override {
        s_->stopRequested = true;
        s_->wake.signal();
        if (!thread_.joinable()) return;
        if (thread_.get_id() == std::this_thread::get_id())
            thread_.detach(); // called from a callback: the thread ends when it returns
        else
            thread_.join();
    }

private:
    std::shared_ptr<CaptureState> s_;
    std::thread thread_;
};

} // namespace

std::unique_ptr<CaptureStream> makeCaptureStream(std::string display, std::uint32_t window,
                                                 StreamConfiguration configuration,
                                                 CaptureStream::Handlers handlers) {
    auto s = std::make_shared<CaptureState>();
    s->display = std::move(display);
    s->window = window;
    s->config = configuration;
    if (!(s->config.minimumFrameInterval >= 0)) s->config.minimumFrameInterval = 0;
    s->handlers = std::move(handlers);
    return std::make_unique<X11CaptureStream>(std::move(s));
}

} // namespace lc::x11
