#include "platform/thread_serial_queue.h"

#include <cassert>
#include <future>
#include <utility>

namespace qfx::platform {

ThreadSerialQueue::ThreadSerialQueue(std::string label) : label_(std::move(label)), worker_([this] { run(); }) {}

ThreadSerialQueue::~ThreadSerialQueue() {
    assert(!isCurrent());
    {
        const std::lock_guard lock(mutex_);
        closing_ = true;
    }
    wake_.notify_one();
    worker_.join();
}

void ThreadSerialQueue::async(std::function<void()> task) {
    {
        const std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void ThreadSerialQueue::sync(const std::function<void()>& task) {
    assert(!isCurrent());
    std::promise<void> done;
    async([&task, &done] {
        task();
        done.set_value();
    });
    done.get_future().wait();
}

void ThreadSerialQueue::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return closing_ || !tasks_.empty(); });
        if (tasks_.empty()) {
            return; // closing, and everything submitted has run
        }
        std::function<void()> task = std::move(tasks_.front());
        tasks_.pop_front();
        lock.unlock();
        task();
        task = nullptr; // release what the task captured before taking the lock again
        lock.lock();
    }
}

} // namespace qfx::platform
