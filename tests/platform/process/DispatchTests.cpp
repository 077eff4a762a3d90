#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "ProcessTestSupport.h"
#include "platform/system/Dispatch.h"

using namespace process_test;
using platform::DispatchGroup;
using platform::GlobalQueue;

TEST(Dispatch, TasksThatBlockTogetherAllGetAWorker) {
    // Every task waits until all have started: a pool that stops growing
    // would leave some queued behind the blocked ones for ever.
    constexpr int tasks = 32;
    std::mutex mutex;
    std::condition_variable changed;
    int started = 0;
    DispatchGroup group;
    for (int i = 0; i < tasks; ++i) {
        group.async([&] {
            std::unique_lock lock(mutex);
            ++started;
            changed.notify_all();
            changed.wait(lock, [&] { return started == tasks; });
        });
    }
    group.wait();
    EXPECT_EQ(started, tasks);
    group.wait();  // nothing outstanding: returns at once
}

TEST(Dispatch, WorkersAreKeptAndReused) {
    // Kernel thread ids: a thread per task would show thousands of them
    // (pthread ids of ended threads are reused, kernel ids hardly ever).
    std::set<pid_t> workers;
    for (int i = 0; i < 10000; ++i) {
        std::promise<pid_t> ran;
        GlobalQueue::shared().async([&] { ran.set_value(::gettid()); });
        workers.insert(ran.get_future().get());
    }
    // Every worker that ran a task is still alive, waiting for more.
    auto alive = entries("/proc/self/task");
    for (pid_t worker : workers) {
        EXPECT_NE(std::find(alive.begin(), alive.end(), std::to_string(worker)), alive.end());
    }
    EXPECT_LT(workers.size(), alive.size());
}
