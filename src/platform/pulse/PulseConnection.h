#pragma once
// One connection to the sound server with its own libpulse threaded main loop. Every libpulse
// call on the context or its streams runs either on the loop thread (inside callbacks) or with
// the loop lock held (Lock).
#include "common/Result.h"

#include <pulse/pulseaudio.h>

#include <functional>
#include <memory>
#include <string>

namespace lc::pulse {

// An operation whose callback must not run once the owner is gone: cancelled when released.
// Release it with the loop lock held.
struct OperationCancel {
    void operator()(pa_operation* o) const {
        if (pa_operation_get_state(o) == PA_OPERATION_RUNNING) pa_operation_cancel(o);
        pa_operation_unref(o);
    }
};
using Operation = std::unique_ptr<pa_operation, OperationCancel>;

struct ProplistFree {
    void operator()(pa_proplist* p) const { pa_proplist_free(p); }
};
using Proplist = std::unique_ptr<pa_proplist, ProplistFree>;

// Fire-and-forget: the callback still runs, the operation object is released at once.
inline void release(pa_operation* o) {
    if (o) pa_operation_unref(o);
}

class Connection {
public:
    // Connects (PULSE_SERVER or the default server, never spawning one). `threadName` names the
    // loop thread. Fails with the server's reason, e.g. "Connection refused".
    static Result<std::unique_ptr<Connection>> open(const std::string& threadName, double timeout = 3.0);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    pa_context* context() const { return context_; }
    pa_mainloop_api* api() const;
    bool inLoopThread() const;

    class Lock {
    public:
        explicit Lock(const Connection& c);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        pa_threaded_mainloop* loop_;
        bool taken_;
    };

    // With the lock held: waits until `done` holds, the timeout passes or the connection fails.
    // True when `done` holds.
    bool wait(const std::function<bool()>& done, double timeout);
    // Wakes wait(); from callbacks on the loop thread.
    void signal();

    // Runs once on the loop thread when an established connection fails (server gone).
    void setOnLost(std::function<void(const std::string&)> onLost) { onLost_ = std::move(onLost); }
    bool failed() const;
    // The context's last error as text.
    std::string lastError() const;

private:
    Connection() = default;
    static void stateChanged(pa_context* c, void* self);

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    bool ready_ = false;
    std::function<void(const std::string&)> onLost_;
};

} // namespace lc::pulse
