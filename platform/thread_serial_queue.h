// The serial queue on one thread of its own, for platforms without dispatch (Linux) and for the unit tests.
#pragma once

#include "platform/serial_queue.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace qfx::platform {

/// One worker thread draining a FIFO of tasks. A task that throws ends the process (std::terminate): tasks here
/// are the recorder's and the capture service's, and none of them throws.
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
    [[nodiscard]] bool isCurrent() const { return std::this_thread::get_id() == worker_.get_id(); }

private:
    void run();

    const std::string label_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    bool closing_ = false;
    std::thread worker_; // last: starts after the fields it uses exist
};

} // namespace qfx::platform
