#include "app/cli/Termination.h"

#include "common/Detached.h"
#include "model/app/AppModel.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace lc::cli {

namespace {

int gPipe[2] = {-1, -1};
bool gTerminating = false;

void onSignal(int signal) {
    const unsigned char byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t n = ::write(gPipe[1], &byte, 1); // async-signal-safe
}

QCoro::Task<> runTermination(QPointer<AppModel> model, int code) {
    // A stop that throws still ends the process, and says why on standard error.
    try {
        if (model) co_await model->shutdown();
    } catch (...) {
        std::fprintf(stderr, "Loomcast: stopping the session failed: %s\n",
                     currentExceptionMessage().toLocal8Bit().constData());
    }
    QCoreApplication::exit(code);
}

} // namespace

SignalRelay::SignalRelay(std::function<void(int)> handler) : handler_(std::move(handler)) {
    if (gPipe[0] < 0 && ::pipe2(gPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    notifier_ = std::make_unique<QSocketNotifier>(gPipe[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] {
        unsigned char byte = 0;
        while (::read(gPipe[0], &byte, 1) == 1) {
            if (handler_) handler_(int(byte));
        }
    });
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

SignalRelay::~SignalRelay() {
    // Back to the default: a signal after this point ends the process at once.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

void terminate(AppModel* model, int code) {
    if (gTerminating) return;
    gTerminating = true;
    runTermination(QPointer<AppModel>(model), code);
}

bool isTerminating() {
    return gTerminating;
}

void exitWith(int code) {
    if (!gTerminating) QCoreApplication::exit(code);
}

} // namespace lc::cli
