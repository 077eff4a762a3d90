#include <signal.h>

#include <chrono>
#include <functional>
#include <future>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "CommandTestSupport.h"
#include "shell/Shell.h"
#include "tests/shell/ShellTestSupport.h"

using namespace std::chrono_literals;
using shell::CommandError;
using shell::RunOptions;
using Clock = std::chrono::steady_clock;

namespace {

// Past its timeout a run may take this much longer: stopping a child that
// takes SIGTERM is quick even on a loaded machine.
constexpr auto slack = 900ms;

bool isGone(int pid) {
    const char state = process_test::processState(pid);
    return state == '?' || state == 'Z';
}

}  // namespace

TEST(Timeout, ARunPastItsTimeoutIsStoppedAndSaysSo) {
    const RunOptions options{.timeout = 300ms};
    struct Case {
        const char* name;
        std::function<std::optional<CommandError>()> run;
    };
    const Case cases[] = {
        {"runCaptured", [&] { return shell::runCaptured(options, "/bin/sleep", 30).error(); }},
        {"runEchoing",
         [&] {
             return shell_test::thrownBy<CommandError>(
                 [&] { shell::runEchoing(options, "/bin/sleep", 30); });
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto start = Clock::now();
        const auto error = c.run();
        const auto took = Clock::now() - start;
        ASSERT_TRUE(error);
        EXPECT_EQ(*error, CommandError::timedOut("/bin/sleep 30", 300ms));
        EXPECT_EQ(error->code(), std::errc::timed_out);
        EXPECT_STREQ(error->what(), "Command '/bin/sleep 30' timed out after 0.3 seconds.");
        EXPECT_GE(took, 300ms);
        EXPECT_LT(took, 300ms + slack);
    }
}

TEST(Timeout, AGrandchildHoldingTheOutputDoesNotKeepTheRunPastItsTimeout) {
    // The shell ends at once; its background child keeps the output pipe open.
    for (const bool ownGroup : {false, true}) {
        SCOPED_TRACE(ownGroup ? "own process group" : "caller's process group");
        const auto start = Clock::now();
        auto run = shell::runCaptured(RunOptions{.timeout = 500ms, .ownProcessGroup = ownGroup},
                                      "/bin/sh", "-c", "sleep 30 & echo $!");
        EXPECT_LT(Clock::now() - start, 500ms + slack);
        ASSERT_TRUE(run.error());
        EXPECT_EQ(run.error()->kind(), CommandError::Kind::timedOut);
        EXPECT_EQ(run.exitStatus(), 0);  // the shell itself ended well
        const int grandchild = std::stoi(run.stdout());
        if (ownGroup) {
            // Stopping the group took the grandchild too.
            while (!isGone(grandchild)) {
                std::this_thread::yield();
            }
        } else {
            EXPECT_FALSE(isGone(grandchild));
            ::kill(grandchild, SIGKILL);
        }
    }
}

TEST(Stop, ACommandThatIgnoresTerminateEndsByKillAfterTheGracePeriod) {
    auto command = shell::startCaptured("/bin/sh", "-c", "trap '' TERM; echo ready; exec sleep 30");
    ASSERT_EQ(command->stdout()->readSome(), "ready\n");
    EXPECT_FALSE(command->waitFor(50ms));
    const auto start = Clock::now();
    command->stop(300ms);
    EXPECT_GE(Clock::now() - start, 300ms);
    EXPECT_TRUE(command->waitFor(0s));
    EXPECT_EQ(command->exitReason(), platform::TerminationReason::uncaughtSignal);
    EXPECT_EQ(command->exitStatus(), SIGKILL);
}

TEST(WaitFor, AWaitThatRanOutLeavesTheEndToThePlatform) {
    // Nobody waits again: the end is still noticed and the handler runs.
    auto command = shell::startCaptured("/bin/sleep", 30);
    EXPECT_FALSE(command->waitFor(10ms));
    std::promise<int> ended;
    command->onTermination([&](shell::AsyncCommand& c) { ended.set_value(c.exitStatus()); });
    ::kill(command->process()->pid(), SIGKILL);
    EXPECT_EQ(ended.get_future().get(), SIGKILL);
}
