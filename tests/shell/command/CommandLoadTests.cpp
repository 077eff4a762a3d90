#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "CommandTestSupport.h"
#include "shell/Shell.h"

using namespace command_test;

TEST(CommandLoad, BothOutputsFullAtOnceNeverBlockTheRun) {
    constexpr std::size_t size = 64u << 20;
    struct Case {
        const char* name;
        std::size_t chunk;
    };
    // Small chunks switch pipes often; chunks larger than a pipe's capacity
    // block the writer on one pipe while the other waits to be read.
    for (const Case& c : {Case{"small chunks", 4096}, Case{"large chunks", 1u << 20}}) {
        SCOPED_TRACE(c.name);
        auto run = shell::runCaptured("/usr/bin/python3", bothOutputs(size, c.chunk));
        EXPECT_EQ(run.exitStatus(), 0);
        ASSERT_EQ(run.rawStdout().size(), size);
        ASSERT_EQ(run.rawStderror().size(), size);
        EXPECT_TRUE(run.rawStdout() == pattern(size, 'a'));
        EXPECT_TRUE(run.rawStderror() == pattern(size, 'A'));
    }
}

TEST(CommandLoad, ConcurrentRunsFromManyThreadsKeepTheirOwnResults) {
    constexpr int threads = 8;
    constexpr int runsEach = 125;
    std::atomic<int> wrong = 0;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t, &wrong] {
            shell::CustomContext context;
            context.setEnv({{"TAG", std::to_string(t)}});
            for (int i = 0; i < runsEach; ++i) {
                const auto tag = std::to_string(t) + "-" + std::to_string(i);
                const int status = (t * runsEach + i) % 100;
                // Alternately in a context of the thread's own and in mainContext.
                const std::string script =
                    "echo " + (i % 2 == 0 ? "$TAG-" + std::to_string(i) : tag) + "; echo e" + tag +
                    " >&2; exit " + std::to_string(status);
                auto run = i % 2 == 0 ? context.runCaptured("/bin/bash", "-c", script)
                                      : shell::runCaptured("/bin/bash", "-c", script);
                if (run.stdout() != tag || run.stderror() != "e" + tag ||
                    run.exitStatus() != status) {
                    ++wrong;
                }
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    EXPECT_EQ(wrong, 0);
}

TEST(CommandLoad, ManyRunsLeaveNoDescriptorAndNoChild) {
    shell::runCaptured("/bin/true");  // the runner's own threads and streams
    process_test::drainTerminationThread();
    const auto before = process_test::openDescriptorCount();
    int heldElsewhere = 0;
    for (int i = 0; i < 10000; ++i) {
        auto run = shell::runCaptured("/bin/true");
        ASSERT_TRUE(run.isSuccess());
        // Once a run has returned, no other thread holds its pipes: the
        // command is the only holder of its streams.
        const auto& command = *run.output();
        if (command.stdout().use_count() != 1 || command.stderror().use_count() != 1) {
            ++heldElsewhere;
        }
    }
    EXPECT_EQ(heldElsewhere, 0);
    process_test::drainTerminationThread();
    EXPECT_EQ(process_test::openDescriptorCount(), before);
    EXPECT_FALSE(process_test::hasChildren());
}

TEST(CommandLoad, ALookupIsExactlyOneProcess) {
    // In a pid namespace of its own the helper can count the processes it
    // starts; making one needs the privilege to.
    auto probe = platform::Process::create({.executable = "/usr/bin/unshare",
                                            .arguments = {"--pid", "--fork", "/bin/true"},
                                            .standardError = platform::FileHandle::nullDevice()});
    probe->launch();
    if (probe->exitStatus() != 0) {
        GTEST_SKIP() << "no new pid namespace here";
    }
    process_test::Child child("/usr/bin/unshare",
                              {"--pid", "--fork", PROBE_PATH, "count-lookups", "true"});
    child.process->launch();
    // A plain name: one "/usr/bin/which"; a path: none; a captured run of a
    // plain name: the lookup and the command itself.
    EXPECT_EQ(process_test::readAll(child.out), "1\n0\n2\n");
    EXPECT_EQ(child.process->exitStatus(), 0) << process_test::readAll(child.err);
}
