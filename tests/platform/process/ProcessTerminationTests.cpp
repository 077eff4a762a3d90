#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "ProcessTestSupport.h"
#include "platform/system/Process.h"

using namespace process_test;
using platform::FileHandle;
using platform::Process;

namespace {

struct Observation {
    std::thread::id thread;
    bool wasRunning = true;
    int status = -1;
};

}  // namespace

// Installed before the launch, or after the end has long been reported.
TEST(ProcessTermination, HandlerRunsOnceOnItsOwnThreadAfterTheEnd) {
    for (const bool late : {false, true}) {
        SCOPED_TRACE(late ? "installed late" : "installed first");
        Child child("exit 7");
        std::atomic<int> calls = 0;
        std::promise<Observation> seen;
        auto install = [&] {
            child.process->setExitHandler([&](Process& ended) {
                if (calls++ == 0) {
                    seen.set_value(
                        {std::this_thread::get_id(), ended.isRunning(), ended.exitStatus()});
                }
            });
        };
        if (!late) {
            install();
        }
        child.process->launch();
        if (late) {
            child.process->wait();
            drainTerminationThread();
            install();
        }
        auto observation = seen.get_future().get();
        EXPECT_NE(observation.thread, std::this_thread::get_id());
        EXPECT_FALSE(observation.wasRunning);
        EXPECT_EQ(observation.status, 7);
        drainTerminationThread();
        EXPECT_EQ(calls, 1);
    }
}

TEST(ProcessTermination, HandlerKeepsAnOtherwiseDroppedProcess) {
    std::promise<int> seen;
    {
        Child child("exit 5");
        child.process->setExitHandler([&](Process& ended) { seen.set_value(ended.exitStatus()); });
        child.process->launch();
    }
    EXPECT_EQ(seen.get_future().get(), 5);
}

TEST(ProcessTermination, DroppedRunningProcessesLeaveNoDescriptorAndNoChild) {
    // Earlier processes may still be held by deliveries in flight.
    drainTerminationThread();
    const auto before = openDescriptorCount();
    // The event thread still reaps them. A child it failed to reap
    // would stay a zombie and this would never end.
    std::vector<int> dropped;
    for (int i = 0; i < 100; ++i) {
        Child child("/bin/true", {});
        child.process->launch();
        dropped.push_back(child.process->pid());
    }
    for (int pid : dropped) {
        while (processState(pid) != '?') {
            std::this_thread::yield();
        }
    }
    drainTerminationThread();  // the last reaped object is gone, its pidfd too
    EXPECT_FALSE(hasChildren());
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST(ProcessTermination, ThrowingHandlerIsDroppedAndTheThreadGoesOn) {
    Child failing("exit 0");
    std::promise<void> thrown;
    failing.process->setExitHandler([&](Process&) {
        thrown.set_value();
        throw std::runtime_error("handler failed");
    });
    failing.process->launch();
    thrown.get_future().wait();

    Child next("exit 2");
    std::promise<int> seen;
    next.process->setExitHandler([&](Process& ended) { seen.set_value(ended.exitStatus()); });
    next.process->launch();
    EXPECT_EQ(seen.get_future().get(), 2);
}

TEST(ProcessTermination, EndsAreSeenWhileTheSameThreadKeepsReadingOutput) {
    // One thread serves readability and termination handlers: a reader that
    // always finds more must not keep the end of another child from it.
    Child writer("/bin/cat", {"/dev/zero"});
    const auto reading = writer.out->readingEnd();
    std::atomic<std::thread::id> readerThread;
    iotest::Counter reads;
    reading->setReadabilityHandler([&](FileHandle& handle) {
        readerThread = std::this_thread::get_id();
        handle.readAvailable();
        reads.add();
    });
    writer.process->launch();
    reads.waitFor(2);

    Child ending("exit 3");
    std::promise<Observation> seen;
    ending.process->setExitHandler([&](Process& ended) {
        seen.set_value({std::this_thread::get_id(), ended.isRunning(), ended.exitStatus()});
    });
    ending.process->launch();
    const auto observation = seen.get_future().get();
    EXPECT_EQ(observation.status, 3);
    EXPECT_EQ(observation.thread, readerThread.load());

    reading->setReadabilityHandler({});
    writer.process->terminate();
    writer.process->wait();
}
