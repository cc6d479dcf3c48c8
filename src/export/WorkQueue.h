#pragma once
// Small concurrency pieces of the export pipeline: a bounded hand-over queue and a fixed pool
// of named worker threads.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace lc {

// A FIFO that blocks the producer while full and the consumer while empty. close() wakes
// both sides for good (pop then drains what is left and gives nothing).
template <class T> class BoundedQueue {
public:
    explicit BoundedQueue(std::size_t capacity) : capacity_(capacity) {}

    bool push(T value) {
        std::unique_lock lock(m_);
        notFull_.wait(lock, [&] { return closed_ || items_.size() < capacity_; });
        if (closed_) return false;
        items_.push_back(std::move(value));
        notEmpty_.notify_one();
        return true;
    }
    std::optional<T> pop() {
        std::unique_lock lock(m_);
        notEmpty_.wait(lock, [&] { return closed_ || !items_.empty(); });
        if (items_.empty()) return std::nullopt;
        T v = std::move(items_.front());
        items_.pop_front();
        notFull_.notify_one();
        return v;
    }
    void close() {
        std::lock_guard lock(m_);
        closed_ = true;
        notFull_.notify_all();
        notEmpty_.notify_all();
    }

private:
    std::size_t capacity_;
    std::mutex m_;
    std::condition_variable notFull_, notEmpty_;
    std::deque<T> items_;
    bool closed_ = false;
};

// Fixed worker threads running queued jobs in submission order (several at once). The
// destructor finishes every queued job, then joins.
class WorkerPool {
public:
    WorkerPool(const std::string& label, int threads);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    const std::string& label() const { return label_; }
    void submit(std::function<void()> job);

private:
    std::string label_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

// Names the calling thread (the system keeps the first 15 bytes).
void nameThisThread(const std::string& name);

} // namespace lc
