// A serial work queue: what the recorder hands the capture service to deliver audio on, and where stop runs its
// finishing step behind every buffer already queued.
#pragma once

#include <functional>
#include <string>

namespace qfx::platform {

/// Runs submitted tasks one at a time, in submission order, on a thread of its own (macOS: a serial dispatch queue;
/// elsewhere `ThreadSerialQueue`). Being serial, it is the only synchronisation between sample intake and
/// finalisation: a task sees every effect of the tasks submitted before it.
///
/// Threads: `async` and `sync` may be called from any thread except, for `sync`, a task of this queue (it would wait
/// for itself). Destroying the queue runs the tasks already submitted, then ends; it must not happen on the queue.
class SerialQueue {
public:
    virtual ~SerialQueue() = default;
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    /// Queues `task` and returns at once.
    virtual void async(std::function<void()> task) = 0;
    /// Queues `task` and returns after it and everything queued before it have run. A full barrier: what those
    /// tasks wrote is visible to the caller afterwards.
    virtual void sync(const std::function<void()>& task) = 0;
    /// The label given at creation.
    [[nodiscard]] virtual const std::string& label() const = 0;

protected:
    SerialQueue() = default;
};

} // namespace qfx::platform
