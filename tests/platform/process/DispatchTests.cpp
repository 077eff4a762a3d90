#include <atomic>
#include <barrier>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "ProcessTestSupport.h"
#include "platform/system/Dispatch.h"

using namespace process_test;
using platform::DispatchGroup;
using platform::GlobalQueue;

TEST(Dispatch, GroupWaitsForEveryTaskItRuns) {
    DispatchGroup group;
    std::atomic<int> done = 0;
    for (int i = 0; i < 1000; ++i) {
        group.async([&] { ++done; });
    }
    group.wait();
    EXPECT_EQ(done, 1000);
    group.wait();  // nothing outstanding: returns at once
}

TEST(Dispatch, GroupCountsManualEnterAndLeave) {
    DispatchGroup group;
    std::atomic<bool> left = false;
    group.enter();
    std::thread other([&] {
        left = true;
        group.leave();
    });
    group.wait();
    EXPECT_TRUE(left);
    other.join();
}

TEST(Dispatch, TasksThatBlockTogetherAllGetAWorker) {
    // Every task waits until all have started: a pool that stops growing
    // would leave some queued behind the blocked ones for ever.
    constexpr int tasks = 32;
    std::barrier allStarted(tasks + 1);
    for (int i = 0; i < tasks; ++i) {
        GlobalQueue::shared().async([&] { allStarted.arrive_and_wait(); });
    }
    allStarted.arrive_and_wait();
}

TEST(Dispatch, WorkersAreKeptAndReused) {
    auto threadCount = [] { return entries("/proc/self/task").size(); };
    // Warm the pool, then run many tasks one after another.
    for (int i = 0; i < 10; ++i) {
        std::promise<void> ran;
        GlobalQueue::shared().async([&] { ran.set_value(); });
        ran.get_future().wait();
    }
    const auto before = threadCount();
    for (int i = 0; i < 10000; ++i) {
        std::promise<void> ran;
        GlobalQueue::shared().async([&] { ran.set_value(); });
        ran.get_future().wait();
    }
    EXPECT_LE(threadCount(), before + 1);
}
