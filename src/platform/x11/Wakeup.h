#pragma once
// Lets one thread wake another that sleeps on its X connection. The sleeping thread owns the
// connection; signal() may be called from any thread, any number of times.
#include "common/UniqueFd.h"

#include <xcb/xcb.h>

namespace lc::x11 {

class Wakeup {
public:
    Wakeup();

    // Once signalled it stays signalled: the sleeper is meant to stop.
    void signal() const;

private:
    friend bool waitForEvents(xcb_connection_t* c, const Wakeup& wakeup, int timeoutMs);
    UniqueFd fd_;
};

// Sleeps until the connection has something to read, `wakeup` was signalled or timeoutMs passed
// (-1: no limit); false when waiting itself failed.
bool waitForEvents(xcb_connection_t* c, const Wakeup& wakeup, int timeoutMs);

} // namespace lc::x11
