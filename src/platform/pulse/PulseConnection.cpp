#include "platform/pulse/PulseConnection.h"

namespace lc::pulse {

Result<std::unique_ptr<Connection>> Connection::open(const std::string& threadName, double timeout) {
    std::unique_ptr<Connection> c(new Connection());
    c->loop_ = pa_threaded_mainloop_new();
    if (!c->loop_) return makeError("Cannot create the sound server main loop");
    pa_threaded_mainloop_set_name(c->loop_, threadName.substr(0, 15).c_str());

    Proplist props(pa_proplist_new());
    pa_proplist_sets(props.get(), PA_PROP_APPLICATION_NAME, "Loomcast");
    pa_proplist_sets(props.get(), PA_PROP_APPLICATION_ID, "Loomcast");
    c->context_ =
        pa_context_new_with_proplist(pa_threaded_mainloop_get_api(c->loop_), "Loomcast", props.get());
    if (!c->context_) return makeError("Cannot create a sound server context");
    pa_context_set_state_callback(c->context_, &Connection::stateChanged, c.get());

    if (pa_threaded_mainloop_start(c->loop_) < 0) return makeError("Cannot start the sound server main loop");
    Lock lock(*c);
    if (pa_context_connect(c->context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return makeError("No sound server: " + c->lastError());
    const bool ready =
        c->wait([&] { return pa_context_get_state(c->context_) == PA_CONTEXT_READY; }, timeout);
    if (!ready) {
        const bool timedOut = PA_CONTEXT_IS_GOOD(pa_context_get_state(c->context_));
        return makeError("No sound server: " + (timedOut ? std::string("no answer") : c->lastError()));
    }
    c->ready_ = true;
    return c;
}

Connection::~Connection() {
    if (loop_ && !inLoopThread()) {
        {
            Lock lock(*this);
            if (context_) {
                pa_context_set_state_callback(context_, nullptr, nullptr);
                pa_context_set_subscribe_callback(context_, nullptr, nullptr);
                pa_context_disconnect(context_);
            }
        }
        pa_threaded_mainloop_stop(loop_);
    }
    if (context_) pa_context_unref(context_);
    if (loop_) pa_threaded_mainloop_free(loop_);
}

pa_mainloop_api* Connection::api() const {
    return pa_threaded_mainloop_get_api(loop_);
}

bool Connection::inLoopThread() const {
    return loop_ && pa_threaded_mainloop_in_thread(loop_);
}

Connection::Lock::Lock(const Connection& c) : loop_(c.loop_), taken_(!c.inLoopThread()) {
    if (taken_) pa_threaded_mainloop_lock(loop_);
}

Connection::Lock::~Lock() {
    if (taken_) pa_threaded_mainloop_unlock(loop_);
}

bool Connection::wait(const std::function<bool()>& done, double timeout) {
    struct Timer {
        Connection* self;
        bool fired = false;
    } timer{this};
    auto* event = pa_context_rttime_new(
        context_, pa_rtclock_now() + pa_usec_t(timeout * 1e6),
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* t) {
            auto* tm = static_cast<Timer*>(t);
            tm->fired = true;
            tm->self->signal();
        },
        &timer);
    bool ok = done();
    while (!ok && !timer.fired && PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) {
        pa_threaded_mainloop_wait(loop_);
        ok = done();
    }
    if (event) api()->time_free(event);
    return ok;
}

void Connection::signal() {
    pa_threaded_mainloop_signal(loop_, 0);
}

bool Connection::failed() const {
    return !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_));
}

std::string Connection::lastError() const {
    return pa_strerror(pa_context_errno(context_));
}

void Connection::stateChanged(pa_context* c, void* userdata) {
    auto* self = static_cast<Connection*>(userdata);
    self->signal();
    const auto state = pa_context_get_state(c);
    if (self->ready_ && !PA_CONTEXT_IS_GOOD(state)) {
        self->ready_ = false;
        if (self->onLost_) self->onLost_(self->lastError());
    }
}

} // namespace lc::pulse
