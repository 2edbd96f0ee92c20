#include "platform/thread_serial_queue.h"

#include <cassert>
#include <future>
#include <utility>

namespace qfx::platform {

ThreadSerialQueue::ThreadSerialQueue(std::string label)
    : label_(std::move(label)), worker_([state = state_] { run(state); }), workerId_(worker_.get_id()) {}

ThreadSerialQueue::~ThreadSerialQueue() {
    {
        const std::lock_guard lock(state_->mutex);
        state_->closing = true;
    }
    state_->wake.notify_one();
    if (isCurrent()) {
        worker_.detach();
    } else {
        worker_.join();
    }
}

void ThreadSerialQueue::async(std::function<void()> task) {
    {
        const std::lock_guard lock(state_->mutex);
        state_->tasks.push_back(std::move(task));
    }
    state_->wake.notify_one();
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

void ThreadSerialQueue::run(const std::shared_ptr<State>& state) {
    std::unique_lock lock(state->mutex);
    for (;;) {
        state->wake.wait(lock, [&state] { return state->closing || !state->tasks.empty(); });
        if (state->tasks.empty()) {
            return; // closing, and everything submitted has run
        }
        std::function<void()> task = std::move(state->tasks.front());
        state->tasks.pop_front();
        lock.unlock();
        task();
        task = nullptr; // release what the task captured before taking the lock again
        lock.lock();
    }
}

} // namespace qfx::platform
