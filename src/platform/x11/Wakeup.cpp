#include "platform/x11/Wakeup.h"

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace lc::x11 {

Wakeup::Wakeup() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void Wakeup::signal() const {
    const std::uint64_t one = 1;
    // Fails only when the counter is full, and then it is signalled already.
    [[maybe_unused]] auto n = write(fd_.get(), &one, sizeof one);
}

bool waitForEvents(int connectionFd, const Wakeup& wakeup, int timeoutMs) {
    pollfd fds[2] = {{connectionFd, POLLIN, 0}, {wakeup.fd_.get(), POLLIN, 0}};
    return poll(fds, 2, timeoutMs) >= 0 || errno == EINTR;
}

} // namespace lc::x11
