#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <system_error>

#include <gtest/gtest.h>

#include "CommandTestSupport.h"
#include "shell/Shell.h"
#include "tests/shell/ShellTestSupport.h"
#include "tests/support/TemporaryDirectory.h"

using namespace command_test;
using shell::CommandError;
using shell::RunOutput;
using shell_test::thrownBy;

TEST(RunCaptured, OutputsStatusAndErrorOfARun) {
    auto run = shell::runCapturedScript("echo out; echo err >&2; exit 3");
    EXPECT_EQ(run.stdout(), "out");
    EXPECT_EQ(run.stderror(), "err");
    EXPECT_EQ(run.exitStatus(), 3);
    ASSERT_TRUE(run.error().has_value());
    EXPECT_EQ(*run.error(), CommandError::returnedErrorCode(
                                "/bin/bash -c \"echo out; echo err >&2; exit 3\"", 3));
}

TEST(RunCaptured, EachValueIsOneArgument) {
    auto run = shell::runCaptured(std::filesystem::path("/usr/bin/printf"), "[%s]", "a b", "",
                                  shell::ArgumentList{1, "c"});
    EXPECT_EQ(run.stdout(), "[a b][][1][c]");
    EXPECT_FALSE(run.error().has_value());
}

TEST(RunCaptured, OutputTextCleanUp) {
    struct Case {
        const char* output;
        const char* text;
    };
    const Case cases[] = {
        {"  spaced line \t\n", "spaced line"},
        {"  no line feed  ", "no line feed"},
        {"\n", ""},
        {"one\ntwo\n", "one\ntwo\n"},
        {"  one\n two  ", "  one\n two  "},
        {"\none", "\none"},
        {"a\r\nb\r\n", "a\r\nb"},                // "\r\n" is one character, not a line feed
        {"\xC2\xA0wide\xE3\x80\x80\n", "wide"},  // Unicode white space goes too
    };
    for (const auto& c : cases) {
        auto run = shell::runCaptured("/usr/bin/printf", "%s", c.output);
        EXPECT_EQ(run.stdout(), c.text) << '"' << c.output << '"';
    }
}

TEST(RunCaptured, UndecodableOutputIsReportedAndTheBytesKept) {
    const auto messageOf = [](auto read) {
        return shell_test::messageThrownBy<shell::ConversionError>(read);
    };
    const auto tail = " to text using encoding " + platform::TextEncoding::utf8().name() + ".";
    auto run = shell::runCaptured("/usr/bin/printf", "\\377ok");
    EXPECT_EQ(run.rawStdout().size(), 3u);
    EXPECT_EQ(messageOf([&] { (void)run.stdout(); }),
              "Could not convert binary output of stdout" + tail);
    auto errors = shell::runCapturedScript("printf '\\377' >&2");
    EXPECT_EQ(messageOf([&] { (void)errors.stderror(); }),
              "Could not convert binary output of stderror" + tail);

    // The encoding is mainContext's at the time the command was made.
    shell::mainContext().setEncoding(platform::TextEncoding::isoLatin1());
    auto latin = shell::runCaptured("/usr/bin/printf", "\\377");
    shell::mainContext().setEncoding(platform::TextEncoding::utf8());
    EXPECT_EQ(latin.stdout(), "\xC3\xBF");
}

TEST(RunCaptured, MergedOutputsKeepTheirOrder) {
    std::string script;
    std::string expected;
    for (int i = 0; i < 200; ++i) {
        script += "echo out" + std::to_string(i) + "; echo err" + std::to_string(i) + " >&2; ";
        expected += "out" + std::to_string(i) + "\nerr" + std::to_string(i) + "\n";
    }
    auto run = shell::runCapturedScript(shell::mergeErrors, script);
    EXPECT_EQ(text(run.rawStdout()), expected);
    EXPECT_TRUE(run.rawStderror().empty());

    auto flagged = shell::runCaptured(shell::RunOptions{.mergeErrors = true}, "/bin/bash", "-c",
                                      "echo 1; echo 2 >&2; echo 3");
    EXPECT_EQ(flagged.stdout(), "1\n2\n3\n");
}

TEST(RunCaptured, AProgramStartedWithoutStandardInputAndOutputCanCaptureARun) {
    // Pipes of the run must not land on the closed standard descriptors.
    auto run = shell::runCaptured("timeout", "60", "bash", "-c",
                                  std::string("exec 0<&- 1>&- \"$0\" captured-run"), PROBE_PATH);
    EXPECT_EQ(run.exitStatus(), 0);
    EXPECT_EQ(run.stderror(), "captured|0");
}

TEST(RunCaptured, EveryFailureToStartIsInTheResult) {
    testsupport::TemporaryDirectory directory;
    const auto plain = (directory.path() / "plain").string();
    std::ofstream(plain) << "#!/bin/bash\necho ran\n";
    // Not handed to a shell instead, as an exec with a search would.
    const auto garbage = (directory.path() / "garbage").string();
    std::ofstream(garbage) << "\x01\x02 no program";
    ::chmod(garbage.c_str(), 0755);
    const auto refused = [](const std::string& path, std::errc reason) {
        return CommandError::launchFailed(path, std::make_error_code(reason));
    };
    struct Case {
        const char* name;
        std::string executable;
        CommandError expected;
        std::function<void()> before = [] {};
        std::function<void()> after = [] {};
    };
    rlimit limits{};
    ::getrlimit(RLIMIT_NOFILE, &limits);
    const Case cases[] = {
        {"not found by name", "no-such-command-for-this-test",
         CommandError::inAccessibleExecutable("no-such-command-for-this-test")},
        {"a directory part that is no directory", "/dev/null/tool",
         CommandError::inAccessibleExecutable("tool")},
        {"may not be run", plain, refused(plain, std::errc::permission_denied)},
        {"no program format", garbage, refused(garbage, std::errc::executable_format_error)},
        {"no descriptor left for the pipes", "/bin/true",
         refused("/bin/true", std::errc::too_many_files_open),
         [&] {
             rlimit none = limits;
             none.rlim_cur = process_test::openDescriptorCount();
             ::setrlimit(RLIMIT_NOFILE, &none);
         },
         [&] { ::setrlimit(RLIMIT_NOFILE, &limits); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.before();
        std::optional<RunOutput> run;
        EXPECT_NO_THROW(run.emplace(shell::runCaptured(c.executable)));
        c.after();
        ASSERT_TRUE(run && run->error());
        EXPECT_EQ(*run->error(), c.expected);
        EXPECT_EQ(run->exitStatus(), c.expected.exitCode());
    }
    // An echoing run throws them: the runner's error for a missing program,
    // the platform's std::system_error for the rest.
    EXPECT_EQ(thrownBy<CommandError>([] { shell::runEchoing("/no/such/dir/tool"); }),
              CommandError::inAccessibleExecutable("tool"));
    const auto refusal = thrownBy<std::system_error>([&] { shell::runEchoing(plain); });
    EXPECT_EQ(refusal ? refusal->code() : std::error_code(), std::errc::permission_denied);
}

TEST(RunCaptured, ARelativeExecutableIsFoundFromTheProcessDirectory) {
    testsupport::TemporaryDirectory programs;
    testsupport::TemporaryDirectory work;
    writeScript(programs.path() / "tool", "pwd");
    shell::CustomContext context;
    context.setCurrentdirectory(work.path().string());
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(programs.path());
    auto run = context.runCaptured("./tool");
    std::filesystem::current_path(previous);
    EXPECT_EQ(run.stdout(), work.path().string());
    EXPECT_EQ(shell::commandText(*run.output()->process()), (programs.path() / "tool").string());
}

TEST(RunCaptured, TheContextGivesEnvironmentDirectoryAndSearchPath) {
    testsupport::TemporaryDirectory programs;
    testsupport::TemporaryDirectory work;
    writeScript(programs.path() / "only-here", "echo \"$0|$(pwd)|$GREETING|${HOME-unset}\"");
    shell::CustomContext context;
    context.setEnv({{"PATH", programs.path().string() + ":/usr/bin:/bin"}, {"GREETING", "hi"}});
    context.setCurrentdirectory(work.path().string());
    auto run = context.runCaptured("only-here");
    EXPECT_EQ(run.stdout(),
              (programs.path() / "only-here").string() + "|" + work.path().string() + "|hi|unset");
    // mainContext's search path does not hold that directory.
    auto elsewhere = shell::runCaptured("only-here");
    EXPECT_EQ(elsewhere.error(), CommandError::inAccessibleExecutable("only-here"));
}

TEST(RunCaptured, ASynchronousRunTakesNoOtherThread) {
    // Each test runs in a process of its own: a thread started by the runs
    // shows here. They wait on the calling thread, over the pipes and the
    // end of the process at once.
    const auto threads = [] { return testsupport::namesIn("/proc/self/task").size(); };
    const auto before = threads();
    EXPECT_TRUE(shell::runCapturedScript("echo out; echo err >&2").isSuccess());
    EXPECT_TRUE(shell::runCaptured(shell::mergeErrors, "/bin/true").isSuccess());
    shell::runEchoing("/bin/true");
    EXPECT_EQ(threads(), before);
}

// Both echoing forms write straight into the context's own streams.
TEST(Echoing, WritesIntoTheContextsStreamsAndThrowsAFailure) {
    auto [out, outReader] = shell::streams();
    auto [err, errReader] = shell::streams();
    shell::CustomContext context;
    context.setStdout(out);
    context.setStderror(err);
    context.runEchoing("/bin/bash", "-c", "echo to out; echo to err >&2");
    auto command = context.startEchoing("/bin/bash", "-c", "echo seen; echo oops >&2");
    EXPECT_EQ(command->waitForSuccess(), command);
    EXPECT_EQ(context.startEchoingScript("echo script >&2; exit 2")->exitStatus(), 2);
    EXPECT_EQ(thrownBy<CommandError>([&] { context.runEchoingScript("echo partial; exit 4"); }),
              CommandError::returnedErrorCode("/bin/bash -c \"echo partial; exit 4\"", 4));
    out->close();
    err->close();
    EXPECT_EQ(outReader->read(), "to out\nseen\npartial\n");
    EXPECT_EQ(errReader->read(), "to err\noops\nscript\n");
}

TEST(RunOutputCombinators, TheSecondRunOnlyWhenItShould) {
    std::atomic<int> secondRuns = 0;
    auto second = [&] {
        ++secondRuns;
        return shell::runCaptured("/bin/echo", "second");
    };
    auto failed = shell::runCapturedScript("echo first; exit 1");
    auto succeeded = shell::runCaptured("/bin/echo", "first");

    EXPECT_EQ(failed.andThen(second).stdout(), "first");
    EXPECT_EQ(shell::andThen(failed, second).exitStatus(), 1);
    EXPECT_EQ(secondRuns, 0);
    EXPECT_EQ(succeeded.orElse(second).stdout(), "first");
    EXPECT_EQ(secondRuns, 0);

    EXPECT_EQ(succeeded.andThen(second).stdout(), "second");
    EXPECT_EQ(secondRuns, 1);
    EXPECT_EQ(shell::orElse(failed, second).stdout(), "second");
    EXPECT_EQ(secondRuns, 2);

    // A launch that never happened answers at once and counts as a failure.
    auto missing = shell::runCaptured("/no/such/tool");
    EXPECT_EQ(missing.andThen(second).exitStatus(), 127);
    EXPECT_EQ(secondRuns, 2);
}
