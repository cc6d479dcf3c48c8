#include "export/WorkQueue.h"

#include <pthread.h>

namespace lc {

void nameThisThread(const std::string& name) {
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

WorkerPool::WorkerPool(const std::string& label, int threads) : label_(label) {
    for (int i = 0; i < threads; ++i) {
        threads_.emplace_back([this, i] {
            // "loomcast.export.compose" does not fit the system's 15 bytes; keep its tail.
            const std::string tail = label_.substr(label_.find_last_of('.') + 1);
            nameThisThread("lc." + tail + "." + std::to_string(i));
            for (;;) {
                std::function<void()> job;
                {
                    std::unique_lock lock(m_);
                    cv_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
                    if (jobs_.empty()) return;
                    job = std::move(jobs_.front());
                    jobs_.pop_front();
                }
                job();
            }
        });
    }
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(m_);
        stopping_ = true;
    }
    cv_.notify_all();
    for (std::thread& t : threads_)
        t.join();
}

void WorkerPool::submit(std::function<void()> job) {
    {
        std::lock_guard lock(m_);
        jobs_.push_back(std::move(job));
    }
    cv_.notify_one();
}

} // namespace lc
