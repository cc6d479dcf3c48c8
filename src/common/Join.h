#pragma once
// Waiting for work in flight without polling. Each piece of work holds a Join::Ticket while it
// runs; `co_await join.idle()` resumes once no ticket is held. Main-thread (one thread) only.
//
// Waiters are resumed from the event loop, never from inside the ticket's destructor, so a
// finishing task is never re-entered by its waiter. When the Join itself goes away its waiters
// are resumed as well; they must check that their owner still lives (a QPointer) before going on.
#include <memory>
#include <vector>
#ifndef Q_MOC_RUN // moc cannot parse the standard library's concepts
#include <coroutine>
#endif

namespace lc {

class Join {
    struct State {
        int count = 0;
        bool closed = false;
        std::vector<std::coroutine_handle<>> waiters;
    };

public:
    // One piece of work in flight: held from enter() until destroyed (or moved from).
    class Ticket {
    public:
        Ticket() = default;
        Ticket(Ticket&& other) noexcept : state_(std::move(other.state_)) {}
        Ticket& operator=(Ticket&& other) noexcept;
        Ticket(const Ticket&) = delete;
        Ticket& operator=(const Ticket&) = delete;
        ~Ticket() { release(); }

        void release();

    private:
        friend class Join;
        explicit Ticket(std::shared_ptr<State> state) : state_(std::move(state)) {}
        std::shared_ptr<State> state_;
    };

    class Awaiter {
    public:
        bool await_ready() const noexcept { return state_->count == 0 || state_->closed; }
        void await_suspend(std::coroutine_handle<> waiter) { state_->waiters.push_back(waiter); }
        void await_resume() const noexcept {}

    private:
        friend class Join;
        explicit Awaiter(std::shared_ptr<State> state) : state_(std::move(state)) {}
        std::shared_ptr<State> state_;
    };

    Join() = default;
    Join(const Join&) = delete;
    Join& operator=(const Join&) = delete;
    ~Join();

    [[nodiscard]] Ticket enter();
    int count() const { return state_->count; }
    bool isIdle() const { return state_->count == 0; }
    // Resumes when no ticket is held (at once when none is), or when the Join is destroyed.
    Awaiter idle() const { return Awaiter(state_); }

private:
    static void wake(const std::shared_ptr<State>& state);
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

} // namespace lc
