#include <atomic>
#include <fstream>
#include <functional>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "CommandTestSupport.h"
#include "shell/Shell.h"
#include "tests/shell/ShellTestSupport.h"
#include "tests/support/TemporaryDirectory.h"

using namespace command_test;
using shell::AsyncCommand;
using shell::CommandError;
using shell::PrintedAsyncCommand;
using shell_test::thrownBy;

TEST(StartCaptured, WaitForSuccessThrowsAFailure) {
    auto failing = shell::startCapturedScript("exit 5");
    EXPECT_EQ(thrownBy<CommandError>([&] { failing->waitForSuccess(); }),
              CommandError::returnedErrorCode("/bin/bash -c \"exit 5\"", 5));
    EXPECT_FALSE(failing->isRunning());
}

TEST(StartCaptured, WaitingWithoutReadingKeepsTheOutputForLater) {
    // More than a pipe holds, on both pipes at once: the wait takes it in so
    // the child can end, and the streams serve it afterwards, in order.
    struct Wait {
        const char* name;
        std::function<void(AsyncCommand&)> wait;
    };
    const std::vector<Wait> waits = {
        {"waitForSuccess", [](AsyncCommand& c) { EXPECT_EQ(c.waitForSuccess().get(), &c); }},
        {"exitStatus", [](AsyncCommand& c) { EXPECT_EQ(c.exitStatus(), 0); }},
        {"exitReason",
         [](AsyncCommand& c) { EXPECT_EQ(c.exitReason(), platform::TerminationReason::exit); }},
    };
    for (const auto& wait : waits) {
        for (const std::size_t size : {std::size_t{65537}, std::size_t{3} << 20}) {
            SCOPED_TRACE(std::string(wait.name) + " " + std::to_string(size));
            auto command = shell::startCaptured("/usr/bin/python3", bothOutputs(size, 4096));
            auto firstChunk = command->stdout()->readSomeData();  // a reader may start early
            wait.wait(*command);
            auto out = firstChunk.value_or(platform::Bytes{});
            const auto rest = command->stdout()->readData();
            out.insert(out.end(), rest.begin(), rest.end());
            EXPECT_EQ(out, pattern(size, 'a'));
            EXPECT_EQ(command->stderror()->readData(), pattern(size, 'A'));
        }
    }
}

TEST(StartCaptured, ADroppedCommandRunsOn) {
    int pid;
    {
        auto command = shell::startCaptured("/bin/sleep", 30);
        pid = command->process()->pid();
    }
    // Still running without a holder.
    EXPECT_NE(process_test::processState(pid), '?');
    EXPECT_NE(process_test::processState(pid), 'Z');
    ::kill(pid, SIGTERM);
}

TEST(StartCaptured, RunsInTheConformersContext) {
    shell::CustomContext context;
    context.setEnv({{"WHO", "context"}});
    auto command = context.startCapturedScript("echo $WHO");
    EXPECT_EQ(command->stdout()->read(), "context\n");
}

// The handlers may take the command as either class, or be generic. The
// installer's sequence: start, install the continuation, wait; the
// continuation runs after the end and may itself run commands while the
// waiter goes on.
TEST(OnTermination, TheLastHandlerRunsWithTheCommandAndMayRunCommands) {
    auto [writer, reader] = shell::streams();
    auto command = reader->startCaptured("/bin/cat");
    std::atomic<int> first = 0;
    std::promise<std::pair<AsyncCommand*, std::string>> second;
    EXPECT_EQ(command->onTermination([&](PrintedAsyncCommand&) { ++first; }), command);
    command->onTermination([&](auto& ended) {
        second.set_value({&ended, shell::runCaptured("/bin/echo", "next step").stdout()});
    });
    writer->close();
    command->waitForSuccess();
    const auto [ended, continued] = second.get_future().get();
    EXPECT_EQ(ended, command.get());
    EXPECT_EQ(continued, "next step");
    process_test::drainTerminationThread();
    EXPECT_EQ(first, 0);
}

TEST(AsyncCommand, SignalsSuspendAndResume) {
    auto [writer, reader] = shell::streams();
    auto command = reader->startCaptured("/bin/cat");
    const int pid = command->process()->pid();
    ASSERT_TRUE(command->suspend());
    while (process_test::processState(pid) != 'T') {
        std::this_thread::yield();
    }
    EXPECT_TRUE(command->isRunning());  // stopped still counts as running
    ASSERT_TRUE(command->resume());
    writer->write("still alive\n");
    auto line = command->stdout()->readSome();  // only a running cat answers
    EXPECT_EQ(line, "still alive\n");
    command->interrupt();
    EXPECT_EQ(command->exitStatus(), SIGINT);
    EXPECT_EQ(command->exitReason(), platform::TerminationReason::uncaughtSignal);
    EXPECT_FALSE(command->suspend());
    EXPECT_FALSE(command->resume());

    auto other = shell::startCaptured("/bin/sleep", 1000);
    other->terminate();
    EXPECT_EQ(other->exitStatus(), SIGTERM);
}

// A start that fails, and exitWithError, end the process with one line on
// standard error.
TEST(Fatal, MessageAndStatusByKindOfError) {
    struct Case {
        const char* mode;
        std::string argument;
        std::string message;
        int status;
    };
    testsupport::TemporaryDirectory directory;
    const auto plain = (directory.path() / "plain").string();
    std::ofstream(plain) << "#!/bin/bash\n";
    const Case cases[] = {
        {"start-captured", "no-such-program-for-this-test",
         "Could not execute file at path 'no-such-program-for-this-test'.\n", 1},
        {"start-echoing", "/no/such/dir/tool", "Could not execute file at path 'tool'.\n", 1},
        {"start-captured", plain, "Cannot launch '" + plain + "': Permission denied\n", 1},
        {"exit-with-returned-error-code", "", "Command 'tool -x' returned with error code 42.\n",
         42},
        {"exit-with-inaccessible-executable", "", "Could not execute file at path 'tool'.\n", 127},
        {"exit-with-platform-error", "", "Something broke\n", 9},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + " " + c.argument);
        process_test::Child child(PROBE_PATH, {c.mode, c.argument});
        child.process->launch();
        // Nothing on standard output: the operation did not come back. Too
        // little output for either pipe to fill up while the other is read.
        EXPECT_EQ(process_test::readAll(child.out), "");
        EXPECT_EQ(process_test::readAll(child.err), c.message);
        EXPECT_EQ(child.process->exitStatus(), c.status);
    }
}

TEST(TryStart, ALaunchFailureIsThrownAndTheProgramGoesOn) {
    testsupport::TemporaryDirectory directory;
    const auto plain = (directory.path() / "plain").string();
    std::ofstream(plain) << "#!/bin/bash\n";
    struct Case {
        const char* name;
        std::function<void()> start;
        std::error_code expected;
    };
    const Case cases[] = {
        {"missing, captured", [] { shell::tryStartCaptured("no-such-program-for-this-test"); },
         CommandError::inAccessibleExecutable("no-such-program-for-this-test").code()},
        {"not runnable, echoing", [&] { shell::tryStartEchoing(plain); },
         std::make_error_code(std::errc::permission_denied)},
    };
    for (const auto& c : cases) {
        const auto error = thrownBy<std::system_error>(c.start);
        EXPECT_EQ(error ? error->code() : std::error_code(), c.expected) << c.name;
    }
    EXPECT_EQ(shell::tryStartCaptured("/bin/echo", "fine")->stdout()->read(), "fine\n");
}
