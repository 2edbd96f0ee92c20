// The serial queue on one thread of its own, for platforms without dispatch (Linux) and for the unit tests.
#pragma once

#include "platform/serial_queue.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace qfx::platform {

/// One worker thread draining a FIFO of tasks. A task that throws ends the process (std::terminate): tasks here
/// are the recorder's and the capture service's, and none of them throws.
///
/// Destruction drains what was submitted, then ends the worker. It may even happen on the worker itself (a task
/// that drops the last reference to the queue's owner): the worker then finishes the queue alone, on state it
/// shares, and is not joined.
class ThreadSerialQueue final : public SerialQueue {
public:
    explicit ThreadSerialQueue(std::string label);
    ~ThreadSerialQueue() override;
    ThreadSerialQueue(const ThreadSerialQueue&) = delete;
    ThreadSerialQueue& operator=(const ThreadSerialQueue&) = delete;

    void async(std::function<void()> task) override;
    void sync(const std::function<void()>& task) override;
    [[nodiscard]] const std::string& label() const override { return label_; }

    /// Whether the calling thread is this queue's worker (for checks in debug builds and tests).
    [[nodiscard]] bool isCurrent() const { return std::this_thread::get_id() == workerId_; }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<std::function<void()>> tasks;
        bool closing = false;
    };
    static void run(const std::shared_ptr<State>& state);

    const std::string label_;
    const std::shared_ptr<State> state_ = std::make_shared<State>();
    std::thread worker_;
    std::thread::id workerId_;
};

} // namespace qfx::platform
