#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "ProcessTestSupport.h"
#include "platform/system/Process.h"
#include "tests/support/TemporaryDirectory.h"

using namespace process_test;
using platform::Process;
using platform::TerminationReason;

TEST(ProcessLaunch, ChildReceivesOnlyStandardDescriptorsWhileParentHoldsMany) {
    // Deliberately inheritable: the child must not get them all the same.
    std::vector<int> held;
    for (int i = 0; i < 200; ++i) {
        int fd = ::open("/dev/null", O_RDONLY);
        ASSERT_GE(fd, 0);
        held.push_back(fd);
    }
    Child child("/bin/ls", {"/proc/self/fd"});
    child.process->launch();
    EXPECT_EQ(readAll(child.out), "0\n1\n2\n3\n");  // 3: the listing's own
    EXPECT_EQ(child.process->exitStatus(), 0);
    for (int fd : held) {
        ::close(fd);
    }
}

TEST(ProcessLaunch, SourcesThatAreThemselvesStandardDescriptorsAreSwapped) {
    Child child(SWAP_OUTPUTS_PATH, {"/bin/bash", "-c", "echo to-out; echo to-err >&2"});
    child.process->launch();
    EXPECT_EQ(readAll(child.out), "to-err\n");
    EXPECT_EQ(readAll(child.err), "to-out\n");
    EXPECT_EQ(child.process->exitStatus(), 0);
}

struct LaunchFailureCase {
    const char* name;
    std::string executable;
    std::string directory;
    int status;
    bool isLaunchError;
    int errnum;
};

TEST(ProcessLaunch, FailuresAnswerAtOnceWithoutAChild) {
    testsupport::TemporaryDirectory scratch;
    const auto& directory = scratch.path();
    auto plain = directory / "not-executable";
    std::ofstream(plain) << "#!/bin/sh\n";
    ::chmod(plain.c_str(), 0644);
    const LaunchFailureCase cases[] = {
        {"missing", (directory / "missing").string(), "", 127, true, ENOENT},
        {"not executable", plain.string(), "", 126, true, EACCES},
        {"missing working directory", "/bin/true", (directory / "gone").string(), 126, false,
         ENOENT},
    };
    for (const auto& failure : cases) {
        SCOPED_TRACE(failure.name);
        auto process = Process::create(
            {.executable = failure.executable, .currentDirectory = failure.directory});
        try {
            process->launch();
            ADD_FAILURE() << "launched";
        } catch (const platform::LaunchError& error) {
            EXPECT_TRUE(failure.isLaunchError);
            EXPECT_EQ(error.errnum(), failure.errnum);
            EXPECT_EQ(error.executable(), failure.executable);
        } catch (const platform::SystemError& error) {
            EXPECT_FALSE(failure.isLaunchError) << error.what();
            EXPECT_EQ(error.errnum(), failure.errnum);
        }
        EXPECT_FALSE(process->isLaunched());
        EXPECT_FALSE(process->isRunning());
        EXPECT_EQ(process->pid(), 0);
        process->wait();
        EXPECT_EQ(process->exitStatus(), failure.status);
        EXPECT_FALSE(process->suspend());
    }
    EXPECT_FALSE(hasChildren());
}

struct EndCase {
    const char* script;
    int status;
    TerminationReason reason;
};

TEST(ProcessLaunch, StatusAndReasonOfTheEnd) {
    const EndCase cases[] = {
        {"exit 3", 3, TerminationReason::exit},
        {"exit 255", 255, TerminationReason::exit},
        {"kill -KILL $$", SIGKILL, TerminationReason::uncaughtSignal},
        {"kill -SEGV $$", SIGSEGV, TerminationReason::uncaughtSignal},
    };
    for (const auto& end : cases) {
        SCOPED_TRACE(end.script);
        Child child(end.script);
        child.process->launch();
        EXPECT_TRUE(child.process->isLaunched());
        EXPECT_GT(child.process->pid(), 0);
        EXPECT_EQ(child.process->exitStatus(), end.status);
        EXPECT_EQ(child.process->exitReason(), end.reason);
        EXPECT_FALSE(child.process->isRunning());
        // Asked again after the end: the same answer.
        EXPECT_EQ(child.process->exitStatus(), end.status);
    }
}

TEST(ProcessLaunch, ChildStartsWithDefaultSignalsEvenWhenTheParentIgnoresThem) {
    auto previous = ::signal(SIGPIPE, SIG_IGN);
    // yes writes into a pipe whose reader is gone: only a default SIGPIPE ends it.
    Child child("yes | head -c 1 >/dev/null; echo ${PIPESTATUS[0]}");
    child.process->launch();
    EXPECT_EQ(readAll(child.out), std::to_string(128 + SIGPIPE) + "\n");
    ::signal(SIGPIPE, previous);
}

// Suspending and resuming are checked through the runner's commands.
TEST(ProcessLaunch, TheParentKeepsNoCopyOfTheChildsEndOfAPipe) {
    auto input = platform::Pipe::create();
    Child child("/bin/cat", {}, input);
    child.process->launch();
    EXPECT_EQ(input->readingEnd()->descriptor(), -1);
    input->writingEnd()->write(std::string_view("through\n"));
    input->writingEnd()->close();
    EXPECT_EQ(readAll(child.out), "through\n");
    EXPECT_EQ(child.process->exitStatus(), 0);
    EXPECT_FALSE(child.process->suspend());
}
