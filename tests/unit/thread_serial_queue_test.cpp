// The serial queue under two threads: the recorder's only synchronisation between intake and finalisation.
#include "platform/thread_serial_queue.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

namespace qfx::platform {
namespace {

TEST(ThreadSerialQueue, TasksFromTwoThreadsRunOneAtATimeInEachThreadsOrder) {
    constexpr int kPerProducer = 2000;
    ThreadSerialQueue queue("test.fifo");
    std::vector<std::pair<int, int>> ran; // touched only by tasks on the queue

    auto produce = [&](int producer) {
        for (int i = 0; i < kPerProducer; ++i) {
            queue.async([&, producer, i] { ran.emplace_back(producer, i); });
        }
    };
    std::thread first(produce, 0);
    std::thread second(produce, 1);
    first.join();
    second.join();

    std::vector<std::pair<int, int>> seen;
    queue.sync([&] { seen = ran; });
    ASSERT_EQ(seen.size(), 2U * kPerProducer);
    int next[2] = {0, 0};
    for (const auto& [producer, i] : seen) {
        ASSERT_EQ(i, next[producer]) << "producer " << producer;
        ++next[producer];
    }
}

TEST(ThreadSerialQueue, SyncIsABarrierForWhatEarlierTasksWrote) {
    ThreadSerialQueue queue("test.barrier");
    // Plain, unsynchronised values: only the barrier makes the reads below correct (ThreadSanitizer checks it).
    int counter = 0;
    int seenAfterSync = -1;
    std::promise<void> gate;
    std::shared_future<void> opened = gate.get_future().share();
    queue.async([opened] { opened.wait(); }); // holds the queue so the tasks below are really queued

    std::thread other([&] {
        for (int i = 0; i < 100; ++i) {
            queue.async([&counter] { ++counter; });
        }
        queue.sync([] {});
        seenAfterSync = counter;
    });
    gate.set_value();
    other.join();
    EXPECT_EQ(seenAfterSync, 100);
}

TEST(ThreadSerialQueue, DestructionRunsEverythingAlreadyQueued) {
    auto queue = std::make_unique<ThreadSerialQueue>("test.drain");
    std::promise<void> gate;
    std::shared_future<void> opened = gate.get_future().share();
    int ran = 0;
    queue->async([opened] { opened.wait(); });
    for (int i = 0; i < 50; ++i) {
        queue->async([&ran] { ++ran; });
    }
    std::thread releaser([&] { gate.set_value(); });
    queue.reset();
    releaser.join();
    EXPECT_EQ(ran, 50);
}

// A task may drop the last reference to the queue's owner (a recorder released while a buffer was in flight):
// the queue is then destroyed on its own worker, which must neither join itself nor lose the tasks behind it.
TEST(ThreadSerialQueue, DestructionOnItsOwnWorkerFinishesTheQueue) {
    auto queue = std::make_shared<ThreadSerialQueue>("test.self");
    std::promise<void> tailRan;
    std::promise<void> released;
    std::shared_ptr<ThreadSerialQueue> owner = queue;
    queue->async([owner = std::move(owner), released = released.get_future().share()]() mutable {
        released.wait();
        owner.reset(); // the last reference: destroys the queue here, on its worker
    });
    queue->async([&tailRan] { tailRan.set_value(); });
    queue.reset();
    released.set_value();
    EXPECT_EQ(tailRan.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

} // namespace
} // namespace qfx::platform
