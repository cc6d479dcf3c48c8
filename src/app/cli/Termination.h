#pragma once
// Ending the process the orderly way: the state is saved and a running session is stopped,
// its files finished, before the event loop ends. SIGINT and SIGTERM take the same road.
#include <QSocketNotifier>
#include <functional>
#include <memory>

namespace lc {
class AppModel;
}

namespace lc::cli {

// While it lives, SIGINT and SIGTERM reach `handler` on the main thread with the signal
// number. Needs the application object; one at a time.
class SignalRelay {
public:
    explicit SignalRelay(std::function<void(int signal)> handler);
    ~SignalRelay();
    SignalRelay(const SignalRelay&) = delete;
    SignalRelay& operator=(const SignalRelay&) = delete;

private:
    std::function<void(int)> handler_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

// Saves, stops a running session and waits for its files, then ends the event loop with
// `code`. Calls while one runs are ignored.
void terminate(AppModel* model, int code);
bool isTerminating();

// Ends the event loop with `code` unless a termination runs (which then decides).
void exitWith(int code);

} // namespace lc::cli
