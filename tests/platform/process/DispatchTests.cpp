#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <mutex>
#include <set>

#include <gtest/gtest.h>

#include "platform/system/Dispatch.h"
#include "tests/support/TemporaryDirectory.h"

using platform::DispatchGroup;
using platform::GlobalQueue;

TEST(Dispatch, NoMoreThanTheBoundRunAtOnceAndEveryTaskRuns) {
    // Twice as many tasks as workers, each holding its worker until the
    // bound is reached: a pool without a bound would run all at once.
    const std::size_t bound = GlobalQueue::maximumWorkers();
    const std::size_t tasks = 2 * bound;
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t running = 0;
    std::size_t most = 0;
    std::size_t started = 0;
    DispatchGroup group;
    for (std::size_t i = 0; i < tasks; ++i) {
        group.async([&] {
            std::unique_lock lock(mutex);
            most = std::max(most, ++running);
            ++started;
            changed.notify_all();
            changed.wait(lock, [&] { return started >= bound; });
            --running;
        });
    }
    group.wait();
    EXPECT_EQ(started, tasks);
    EXPECT_EQ(most, bound);
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
    const auto alive = testsupport::namesIn("/proc/self/task");
    for (pid_t worker : workers) {
        EXPECT_NE(std::find(alive.begin(), alive.end(), std::to_string(worker)), alive.end());
    }
    EXPECT_LT(workers.size(), alive.size());
}
