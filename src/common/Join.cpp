#include "common/Join.h"

#include <QTimer>

namespace lc {

Join::Ticket& Join::Ticket::operator=(Ticket&& other) noexcept {
    if (this != &other) {
        release();
        state_ = std::move(other.state_);
    }
    return *this;
}

void Join::Ticket::release() {
    if (!state_) return;
    const std::shared_ptr<State> state = std::move(state_);
    if (--state->count == 0) wake(state);
}

Join::~Join() {
    state_->closed = true;
    wake(state_);
}

Join::Ticket Join::enter() {
    ++state_->count;
    return Ticket(state_);
}

void Join::wake(const std::shared_ptr<State>& state) {
    std::vector<std::coroutine_handle<>> waiters;
    waiters.swap(state->waiters);
    for (std::coroutine_handle<> waiter : waiters) {
        // Work may have entered again before the loop runs: then the waiter keeps waiting.
        QTimer::singleShot(0, [state, waiter] {
            if (state->count > 0 && !state->closed) {
                state->waiters.push_back(waiter);
            } else {
                waiter.resume();
            }
        });
    }
}

} // namespace lc
