#include <atomic>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "ProcessTestSupport.h"
#include "platform/system/Process.h"

using namespace process_test;
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
        for (const char* script : {"exit 0", "exit 7", "kill -KILL $$"}) {
            SCOPED_TRACE(std::string(script) + (late ? ", installed late" : ""));
            Child child(script);
            std::atomic<int> calls = 0;
            std::promise<Observation> seen;
            auto install = [&] {
                child.process->setTerminationHandler([&](Process& ended) {
                    if (calls++ == 0) {
                        seen.set_value({std::this_thread::get_id(), ended.isRunning(),
                                        ended.terminationStatus()});
                    }
                });
            };
            if (!late) {
                install();
            }
            child.process->launch();
            if (late) {
                child.process->waitUntilExit();
                drainTerminationThread();
                install();
            }
            auto observation = seen.get_future().get();
            EXPECT_NE(observation.thread, std::this_thread::get_id());
            EXPECT_FALSE(observation.wasRunning);
            EXPECT_EQ(observation.status, child.process->terminationStatus());
            drainTerminationThread();
            EXPECT_EQ(calls, 1);
        }
    }
}

TEST(ProcessTermination, HandlerKeepsAnOtherwiseDroppedProcess) {
    std::promise<int> seen;
    {
        Child child("exit 5");
        child.process->setTerminationHandler(
            [&](Process& ended) { seen.set_value(ended.terminationStatus()); });
        child.process->launch();
    }
    EXPECT_EQ(seen.get_future().get(), 5);
}

TEST(ProcessTermination, DroppedRunningProcessesLeaveNoDescriptorAndNoChild) {
    // Earlier processes may still be held by deliveries in flight.
    drainTerminationThread();
    const auto before = openDescriptorCount();
    // The termination thread still reaps them. A child it failed to reap
    // would stay a zombie and this would never end.
    std::vector<int> dropped;
    for (int i = 0; i < 100; ++i) {
        Child child("/bin/true", {});
        child.process->launch();
        dropped.push_back(child.process->processIdentifier());
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
