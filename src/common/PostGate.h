#pragma once
// How work from other threads reaches an object that lives on one thread: post() queues the work
// onto the target's thread while the target lives, and does nothing once close() has run. The
// owner closes the gate first thing in its destructor; work already queued is then dropped by Qt
// together with the object. Share the gate (std::shared_ptr) with every thread that posts.
#include <QMetaObject>
#include <QObject>
#include <mutex>
#include <utility>

namespace lc {

template <class Target> class PostGate {
public:
    explicit PostGate(Target* target) : target_(target) {}

    void close() {
        std::lock_guard lock(mutex_);
        target_ = nullptr;
    }

    bool isOpen() {
        std::lock_guard lock(mutex_);
        return target_ != nullptr;
    }

    // Runs work(target) on the target's thread, later; dropped when the gate is closed.
    template <class F> void post(F work) {
        std::lock_guard lock(mutex_);
        if (!target_) return;
        Target* target = target_;
        QMetaObject::invokeMethod(
            target, [target, work = std::move(work)]() mutable { work(*target); }, Qt::QueuedConnection);
    }

private:
    std::mutex mutex_;
    Target* target_;
};

} // namespace lc
