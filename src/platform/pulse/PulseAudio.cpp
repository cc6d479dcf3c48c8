// The sound server through libpulse: every capture has its own connection and loop thread, so a
// failing stream or a slow consumer of one never disturbs another.
#include "platform/Audio.h"
#include "platform/pulse/AudioMixer.h"
#include "platform/pulse/ProcessTree.h"
#include "platform/pulse/PulseConnection.h"
#include "platform/pulse/RecordStream.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <set>

namespace lc {

namespace pulse {
namespace {

constexpr double kTimeout = 3.0;

std::string micEndMessage(int error) {
    switch (error) {
    case PA_ERR_CONNECTIONTERMINATED:
    case PA_ERR_CONNECTIONREFUSED:
        return "The sound server stopped: " + std::string(pa_strerror(error));
    case PA_ERR_KILLED:
    case PA_ERR_NOENTITY:
        return "The microphone was disconnected";
    default:
        return "The microphone stopped: " + std::string(pa_strerror(error));
    }
}

std::optional<int> processIdOf(const pa_proplist* props) {
    const char* text = props ? pa_proplist_gets(props, PA_PROP_APPLICATION_PROCESS_ID) : nullptr;
    if (!text) return std::nullopt;
    int pid = 0;
    const std::string_view sv(text);
    const auto [end, ec] = std::from_chars(sv.data(), sv.data() + sv.size(), pid);
    if (ec != std::errc{} || end != sv.data() + sv.size() || pid <= 0) return std::nullopt;
    return pid;
}

// ---- Microphone -----------------------------------------------------------------------------

class MicCapture final : public AudioCapture {
public:
    static Result<std::unique_ptr<AudioCapture>> start(const std::optional<std::string>& device,
                                                       AudioCallbacks callbacks) {
        auto connection = Connection::open("loomcast.mic.pa", kTimeout);
        if (!connection) return connection.error();
        std::unique_ptr<MicCapture> self(new MicCapture(std::move(*connection), std::move(callbacks)));

        Connection::Lock lock(*self->connection_);
        self->stream_ = std::make_unique<RecordStream>(
            *self->connection_, [s = self.get()](AudioChunk c) { s->chunk(std::move(c)); },
            [s = self.get()](int error) { s->failed(error); });
        RecordStream::Options options{"Microphone", device, std::nullopt};
        if (!self->stream_->connect(options))
            return makeError("Cannot open the microphone: " + self->connection_->lastError());
        const bool ready = self->connection_->wait(
            [&] { return self->stream_->isReady() || self->stream_->hasFailed(); }, kTimeout);
        if (!ready || self->stream_->hasFailed())
            return makeError("Cannot open the microphone: " +
                             (ready ? self->connection_->lastError() : std::string("no answer")));
        self->started_ = true;
        return std::unique_ptr<AudioCapture>(std::move(self));
    }

    ~MicCapture() override { stop(); }

    void stop() override {
        if (!connection_) return;
        {
            Connection::Lock lock(*connection_);
            stopped_ = true;
            stream_.reset();
        }
        connection_.reset();
    }

private:
    MicCapture(std::unique_ptr<Connection> c, AudioCallbacks cb)
        : connection_(std::move(c)), callbacks_(std::move(cb)) {}

    void chunk(AudioChunk c) {
        if (!stopped_ && callbacks_.onChunk) callbacks_.onChunk(std::move(c));
    }
    void failed(int error) {
        if (!started_ || stopped_) return;
        stopped_ = true;
        if (callbacks_.onEnd) callbacks_.onEnd(makeError(micEndMessage(error)));
    }

    std::unique_ptr<Connection> connection_;
    std::unique_ptr<RecordStream> stream_;
    AudioCallbacks callbacks_;
    bool started_ = false;
    bool stopped_ = false;
};

// ---- Application audio ----------------------------------------------------------------------

class AppCapture final : public AudioCapture {
public:
    static Result<std::unique_ptr<AudioCapture>> start(int pid, AudioCallbacks callbacks) {
        auto connection = Connection::open("loomcast.app.pa", kTimeout);
        if (!connection) return connection.error();
        std::unique_ptr<AppCapture> self(new AppCapture(std::move(*connection), pid, std::move(callbacks)));
        Connection& c = *self->connection_;

        Connection::Lock lock(c);
        c.setOnLost([s = self.get()](const std::string& reason) { s->lost(reason); });
        pa_context_set_subscribe_callback(c.context(), &AppCapture::onEvent, self.get());
        release(pa_context_subscribe(
            c.context(), pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SINK_INPUT | PA_SUBSCRIPTION_MASK_SINK),
            nullptr, nullptr));
        Operation list(pa_context_get_sink_input_info_list(c.context(), &AppCapture::onInput, self.get()));
        if (!list ||
            !c.wait([&] { return pa_operation_get_state(list.get()) != PA_OPERATION_RUNNING; }, kTimeout))
            return makeError("Cannot list the sound streams: " + c.lastError());
        return std::unique_ptr<AudioCapture>(std::move(self));
    }

    ~AppCapture() override { stop(); }

    void stop() override {
        if (!connection_) return;
        {
            Connection::Lock lock(*connection_);
            stopped_ = true;
            pa_context_set_subscribe_callback(connection_->context(), nullptr, nullptr);
            inputs_.clear();
            graveyard_.clear();
        }
        connection_.reset();
    }

private:
    struct Attached {
        std::uint32_t sink = PA_INVALID_INDEX;
        int source = 0; // the mixer's name for it
        std::unique_ptr<RecordStream> stream;
    };

    AppCapture(std::unique_ptr<Connection> c, int pid, AudioCallbacks cb)
        : connection_(std::move(c)), pid_(pid), callbacks_(std::move(cb)), mixer_([this](AudioChunk chunk) {
              if (!stopped_ && callbacks_.onChunk) callbacks_.onChunk(std::move(chunk));
          }) {}

    static void onEvent(pa_context* c, pa_subscription_event_type_t type, std::uint32_t index,
                        void* userdata) {
        auto* self = static_cast<AppCapture*>(userdata);
        if (self->stopped_) return;
        const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
        if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT) {
            if (kind == PA_SUBSCRIPTION_EVENT_REMOVE)
                self->detach(index);
            else // new, or changed (a move shows as a change)
                release(pa_context_get_sink_input_info(c, index, &AppCapture::onInput, self));
        } else if (facility == PA_SUBSCRIPTION_EVENT_SINK && kind != PA_SUBSCRIPTION_EVENT_NEW) {
            self->monitors_.erase(index);
        }
    }

    static void onInput(pa_context*, const pa_sink_input_info* info, int eol, void* userdata) {
        auto* self = static_cast<AppCapture*>(userdata);
        self->connection_->signal();
        if (eol != 0 || !info || self->stopped_) return;
        const auto pid = processIdOf(info->proplist);
        if (!pid || !isSameOrDescendant(*pid, self->pid_)) return;
        auto it = self->inputs_.find(info->index);
        if (it != self->inputs_.end() && it->second.sink == info->sink && !it->second.stream->hasFailed())
            return;
        self->detach(info->index);
        self->wantAttach(info->index, info->sink);
    }

    static void onSink(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
        auto* self = static_cast<AppCapture*>(userdata);
        if (eol != 0 || !info || self->stopped_) return;
        self->monitors_[info->index] = info->monitor_source;
        for (auto it = self->pending_.begin(); it != self->pending_.end();) {
            if (it->second == info->index) {
                self->attach(it->first, info->index);
                it = self->pending_.erase(it);
            } else {
                ++it;
            }
        }
    }

    void wantAttach(std::uint32_t input, std::uint32_t sink) {
        if (monitors_.count(sink)) {
            attach(input, sink);
            return;
        }
        const bool asked =
            std::any_of(pending_.begin(), pending_.end(), [&](auto& p) { return p.second == sink; });
        pending_[input] = sink;
        if (!asked)
            release(
                pa_context_get_sink_info_by_index(connection_->context(), sink, &AppCapture::onSink, this));
    }

    void attach(std::uint32_t input, std::uint32_t sink) {
        Attached a;
        a.sink = sink;
        a.source = nextSource_++;
        a.stream = std::make_unique<RecordStream>(
            *connection_, [this, source = a.source](AudioChunk c) { mixer_.add(source, c); },
            [this, input, source = a.source](int) { streamFailed(input, source); });
        RecordStream::Options options{"Application audio", std::to_string(monitors_[sink]), input};
        if (!a.stream->connect(options)) return;
        inputs_[input] = std::move(a);
    }

    void detach(std::uint32_t input) {
        pending_.erase(input);
        auto it = inputs_.find(input);
        if (it == inputs_.end()) return;
        mixer_.remove(it->second.source);
        inputs_.erase(it);
    }

    // The monitored input ended or moved ("Entity killed"); a move comes back as a change event.
    void streamFailed(std::uint32_t input, int source) {
        auto it = inputs_.find(input);
        if (it == inputs_.end() || it->second.source != source) return;
        mixer_.remove(source);
        // Destroyed later: this runs inside the stream's own callback.
        graveyard_.push_back(std::move(it->second.stream));
        inputs_.erase(it);
        pa_mainloop_api_once(
            connection_->api(),
            [](pa_mainloop_api*, void* s) { static_cast<AppCapture*>(s)->graveyard_.clear(); }, this);
    }

    void lost(const std::string& reason) {
        if (stopped_) return;
        stopped_ = true;
        if (callbacks_.onEnd) callbacks_.onEnd(makeError("The sound server stopped: " + reason));
    }

    std::unique_ptr<Connection> connection_;
    int pid_;
    AudioCallbacks callbacks_;
    AudioMixer mixer_;
    std::map<std::uint32_t, Attached> inputs_;        // by sink input
    std::map<std::uint32_t, std::uint32_t> pending_;  // sink input → sink whose monitor is being looked up
    std::map<std::uint32_t, std::uint32_t> monitors_; // sink → its monitor source
    std::vector<std::unique_ptr<RecordStream>> graveyard_;
    int nextSource_ = 0;
    bool stopped_ = false;
};

// ---- The server -----------------------------------------------------------------------------

class PulseAudioSystem final : public AudioSystem {
public:
    Result<std::vector<AudioDevice>> microphones() override {
        auto connection = Connection::open("loomcast.pa", kTimeout);
        if (!connection) return connection.error();
        Connection& c = **connection;
        struct Found {
            Connection* connection;
            std::string defaultName;
            std::vector<AudioDevice> devices;
        } found{&c, {}, {}};
        Connection::Lock lock(c);
        Operation server(pa_context_get_server_info(
            c.context(),
            [](pa_context*, const pa_server_info* info, void* p) {
                auto* f = static_cast<Found*>(p);
                if (info && info->default_source_name) f->defaultName = info->default_source_name;
                f->connection->signal();
            },
            &found));
        Operation sources(pa_context_get_source_info_list(
            c.context(),
            [](pa_context*, const pa_source_info* info, int eol, void* p) {
                auto* f = static_cast<Found*>(p);
                if (eol != 0) f->connection->signal();
                if (eol != 0 || !info || info->monitor_of_sink != PA_INVALID_INDEX) return;
                f->devices.push_back({info->name, info->description ? info->description : info->name, false});
            },
            &found));
        auto done = [](const Operation& o) {
            return !o || pa_operation_get_state(o.get()) != PA_OPERATION_RUNNING;
        };
        if (!server || !sources || !c.wait([&] { return done(server) && done(sources); }, kTimeout))
            return makeError("Cannot list the microphones: " + c.lastError());
        for (auto& d : found.devices)
            d.isDefault = d.id == found.defaultName;
        return std::move(found.devices);
    }

    MicAuthorization micAuthorization() override {
        return Connection::open("loomcast.pa", 1.0) ? MicAuthorization::authorized
                                                    : MicAuthorization::restricted;
    }

    Result<std::unique_ptr<AudioCapture>> captureMicrophone(const std::optional<std::string>& deviceId,
                                                            AudioCallbacks callbacks) override {
        return MicCapture::start(deviceId, std::move(callbacks));
    }

    Result<std::unique_ptr<AudioCapture>> captureApplication(int pid, AudioCallbacks callbacks) override {
        if (pid <= 0)
            return makeError("No application to capture sound from (process id " + std::to_string(pid) + ")");
        return AppCapture::start(pid, std::move(callbacks));
    }
};

} // namespace
} // namespace pulse

std::shared_ptr<AudioSystem> systemAudio() {
    static const auto system = std::make_shared<pulse::PulseAudioSystem>();
    return system;
}

} // namespace lc
