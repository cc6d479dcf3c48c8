#pragma once
// Lets one thread wake another that sleeps on its X connection's descriptor. The sleeping thread
// owns the connection; signal() may be called from any thread, any number of times.
#include "common/UniqueFd.h"

namespace lc::x11 {

class Wakeup {
public:
    Wakeup();

    // Once signalled it stays signalled: the sleeper is meant to stop.
    void signal() const;

private:
    friend bool waitForEvents(int connectionFd, const Wakeup& wakeup, int timeoutMs);
    UniqueFd fd_;
};

// Sleeps until `connectionFd` (xcb_get_file_descriptor) has something to read, `wakeup` was
// signalled or timeoutMs passed (-1: no limit); false when waiting itself failed.
bool waitForEvents(int connectionFd, const Wakeup& wakeup, int timeoutMs);

} // namespace lc::x11
