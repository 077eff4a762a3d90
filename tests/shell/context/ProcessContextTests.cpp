#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/system/Pipe.h"
#include "tests/platform/io/Support.h"
#include "tests/support/TemporaryDirectory.h"

namespace {

struct ProbeRun {
    int status;
    std::string out;
    std::string err;
};

// Starts the probe with exactly this argv (possibly empty) and environment.
ProbeRun runProbe(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    const auto out = platform::Pipe::create();
    const auto err = platform::Pipe::create();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out->writingEnd()->descriptor(), 1);
    posix_spawn_file_actions_adddup2(&actions, err->writingEnd()->descriptor(), 2);
    auto pointers = [](const std::vector<std::string>& texts) {
        std::vector<char*> result;
        for (const auto& text : texts)
            result.push_back(const_cast<char*>(text.c_str()));
        result.push_back(nullptr);
        return result;
    };
    auto args = pointers(argv);
    auto vars = pointers(env);
    pid_t pid = -1;
    const int spawned =
        ::posix_spawn(&pid, CONTEXT_PROBE_PATH, &actions, nullptr, args.data(), vars.data());
    posix_spawn_file_actions_destroy(&actions);
    out->writingEnd()->close();
    err->writingEnd()->close();
    if (spawned != 0)
        return {-1, "", "spawn failed"};

    ProbeRun run{0, iotest::text(out->readingEnd()->readAll()),
                 iotest::text(err->readingEnd()->readAll())};
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

TEST(MainContextProcess, CommandLineGivesPathAndArgumentsEvenWhenEmpty) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, "path=\n"},
        {{"/some/where/probe-name", "a", "b c", ""},
         "path=/some/where/probe-name\nargument=a\nargument=b c\nargument=\n"},
    };
    for (const auto& [argv, expected] : cases) {
        const auto run = runProbe(argv, {"PROBE_MODE=identity"});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, expected);
    }
}

TEST(MainContextProcess, TemporaryDirectoryIsMadeOnceAndEndsWithSlash) {
    testsupport::TemporaryDirectory dir;
    const auto run = runProbe({"/some/where/probe-name", "x"},
                              {"PROBE_MODE=tempdirectory", "TMPDIR=" + dir.path().string()});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto newline = run.out.find('\n');
    const std::string first = run.out.substr(0, newline);
    EXPECT_EQ(run.out, first + "\n" + first + "\n");
    const std::string prefix = dir.path().string() + "/probe-name-";
    EXPECT_EQ(first.substr(0, prefix.size()), prefix);
    EXPECT_EQ(first.back(), '/');
    EXPECT_TRUE(std::filesystem::is_directory(first));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(MainContextProcess, TemporaryDirectoryThatCannotBeMadeEndsTheProcess) {
    testsupport::TemporaryDirectory dir;
    std::ofstream(dir.path() / "file") << "in the way";
    const auto run = runProbe({"/bin/probe-name"}, {"PROBE_MODE=tempdirectory",
                                                    "TMPDIR=" + (dir.path() / "file").string()});
    const std::string start = "Could not create new temporary directory 'file://" +
                              (dir.path() / "file").string() + "/probe-name-";
    EXPECT_EQ(run.err.substr(0, start.size()), start);
    const auto end = run.err.find("/':\n");
    ASSERT_NE(end, std::string::npos) << run.err;
    EXPECT_GT(run.err.size(), end + 5);  // the platform's description follows
    EXPECT_EQ(run.err.back(), '\n');
    // The platform error's code (an errno value) is the exit status.
    EXPECT_TRUE(run.status == ENOTDIR || run.status == EEXIST) << run.status;
    EXPECT_EQ(run.out, "");
}

TEST(MainContextProcess, WorkingDirectoryChangesOrTheProcessEnds) {
    testsupport::TemporaryDirectory dir;
    const auto root = runProbe({"probe"}, {"PROBE_MODE=chdir", "PROBE_ARGUMENT=/"});
    EXPECT_EQ(root.status, 0) << root.err;
    EXPECT_EQ(root.out, "//\n");

    const std::string missing = dir.path() / "missing";
    const auto failed = runProbe({"probe"}, {"PROBE_MODE=chdir", "PROBE_ARGUMENT=" + missing});
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.err, "Could not change the working directory to " + missing + "\n");
    EXPECT_EQ(failed.out, "");
}

TEST(MainContextProcess, LazyStreamsTakeTheEncodingOfTheMomentTheyAreMade) {
    const auto run = runProbe({"probe"}, {"PROBE_MODE=encoding"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "ISO-8859-1\nISO-8859-1\nUTF-16LE\nUTF-16LE\n");
}

}  // namespace
