#include "common/BlockingCalls.h"

#include "common/Detached.h"

#include <QThreadPool>
#include <cstdio>

namespace lc {

namespace {

QThreadPool& pool() {
    // At exit it waits for calls still running: each gives up after its own timeout.
    static QThreadPool blocking;
    static const bool configured = [] {
        blocking.setMaxThreadCount(8);
        blocking.setExpiryTimeout(10000);
        return true;
    }();
    (void)configured;
    return blocking;
}

} // namespace

void runBlocking(std::function<void()> call) {
    pool().start([call = std::move(call)] {
        try {
            call();
        } catch (...) {
            std::fprintf(stderr, "A sound server call failed: %s\n",
                         currentExceptionMessage().toLocal8Bit().constData());
        }
    });
}

} // namespace lc
