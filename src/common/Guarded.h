#pragma once
// State shared between threads, reachable only through a lock: `guarded.lock()->field`. The lock
// is part of the type, so no access can forget it.
#include <mutex>
#include <utility>

namespace lc {

template <class T> class Guarded {
public:
    class Locked {
    public:
        T* operator->() { return value_; }
        T& operator*() { return *value_; }

    private:
        friend class Guarded;
        Locked(std::mutex& mutex, T& value) : lock_(mutex), value_(&value) {}
        std::unique_lock<std::mutex> lock_;
        T* value_;
    };

    Guarded() = default;
    template <class... Args>
    explicit Guarded(std::in_place_t, Args&&... args) : value_(std::forward<Args>(args)...) {}
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;

    Locked lock() { return Locked(mutex_, value_); }

    // A copy of the state taken under the lock.
    T snapshot() {
        std::lock_guard guard(mutex_);
        return value_;
    }

private:
    std::mutex mutex_;
    T value_{};
};

} // namespace lc
