#include <unistd.h>

#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "shell/Shell.h"
#include "tests/platform/io/Support.h"
#include "tests/support/TemporaryDirectory.h"

using shell::CustomContext;
using shell::mainContext;

namespace {

TEST(MainContext, FirstUseFromManyThreadsMakesOneOfEach) {
    std::vector<std::thread> threads;
    std::mutex mutex;
    std::set<const void*> contexts;
    std::set<const void*> inputs;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            auto& context = mainContext();
            auto input = context.stdin();
            std::lock_guard lock(mutex);
            contexts.insert(&context);
            inputs.insert(input.get());
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(contexts.size(), 1u);
    EXPECT_EQ(inputs.size(), 1u);
}

TEST(MainContext, CommandContextIsTheInstanceItself) {
    const auto context = mainContext().commandContext();
    EXPECT_EQ(context.get(), static_cast<shell::Context*>(&mainContext()));
    context->env()["IO_CONTEXT_TEST"] = "seen";
    EXPECT_EQ(mainContext().env().at("IO_CONTEXT_TEST"), "seen");
    mainContext().env().erase("IO_CONTEXT_TEST");
}

TEST(CustomContext, EmptyContextReadsNothingDiscardsOutputAndUsesTheCurrentDirectory) {
    CustomContext context;
    EXPECT_TRUE(context.env().empty());
    EXPECT_EQ(context.currentdirectory(), mainContext().currentdirectory());
    EXPECT_EQ(context.stdin()->readSome(), std::nullopt);
    context.stdout()->print("discarded");
    context.stderror()->print("discarded");
    EXPECT_NE(context.stdout(), context.stderror());
    EXPECT_EQ(context.runCaptured("/bin/cat").stdout(), "");
}

TEST(CustomContext, CopiesShareStreamsButHaveTheirOwnValues) {
    testsupport::TemporaryDirectory dir;
    CustomContext ofMain(mainContext());
    EXPECT_EQ(ofMain.stdin(), mainContext().stdin());
    EXPECT_EQ(ofMain.stderror(), mainContext().stderror());
    EXPECT_EQ(ofMain.env(), mainContext().env());
    const std::string before = ofMain.currentdirectory();
    mainContext().setCurrentdirectory(dir.path().string());
    EXPECT_EQ(ofMain.currentdirectory(), before);
    mainContext().setCurrentdirectory(before);

    CustomContext original;
    original.env()["NAME"] = "original";
    CustomContext copy = original;
    copy.env()["NAME"] = "copy";
    copy.setCurrentdirectory("/elsewhere/");
    EXPECT_EQ(original.env().at("NAME"), "original");
    EXPECT_NE(original.currentdirectory(), "/elsewhere/");
    EXPECT_EQ(copy.stdout(), original.stdout());
    const auto commandContext = original.commandContext();
    commandContext->env()["NAME"] = "changed";
    EXPECT_EQ(original.env().at("NAME"), "original");
}

TEST(CustomContext, DebugDescriptionShowsStreamsDirectoryAndEnvironment) {
    CustomContext context;
    context.setEnv({{"A", "1"}, {"B", "say \"hi\"\n"}});
    context.setCurrentdirectory("/tmp/dir/");
    const auto in = std::to_string(context.stdin()->filehandle()->descriptor());
    const auto out = std::to_string(context.stdout()->filehandle()->descriptor());
    const auto err = std::to_string(context.stderror()->filehandle()->descriptor());
    EXPECT_EQ(context.debugDescription(),
              "\"stdin:\" FileHandleStream(filehandle: " + in + ", encoding: UTF-8) \"stdout:\" " +
                  "FileHandleStream(filehandle: " + out + ", encoding: UTF-8) \"stderror:\" " +
                  "FileHandleStream(filehandle: " + err + ", encoding: UTF-8) " +
                  "\"currentdirectory:\" \"/tmp/dir/\"\n" +
                  "\"env:\" [\"A\": \"1\", \"B\": \"say \\\"hi\\\"\\n\"]\n");
    CustomContext empty;
    empty.setEnv({});
    EXPECT_EQ(empty.debugDescription().substr(empty.debugDescription().find("\"env:\"")),
              "\"env:\" [:]\n");
}

TEST(CommandRunners, TextOfAnySizeDoesNotWaitForAReader) {
    // Larger than any pipe can hold, so nothing may wait for a reader; and
    // past the default pipe size but within what a pipe can take.
    const std::string big = iotest::sampleText(100 * 1024 * 1024);
    EXPECT_EQ(shell::input(big).runCaptured("/usr/bin/wc", "-c").stdout(),
              std::to_string(big.size()));
    EXPECT_TRUE(shell::input(big).commandContext()->stdin()->read() == big);
    const std::string medium = iotest::sampleText(200 * 1024);
    EXPECT_TRUE(shell::input(medium).commandContext()->stdin()->read() == medium);
    EXPECT_EQ(shell::input("").runCaptured("/usr/bin/wc", "-c").stdout(), "0");
    EXPECT_THROW(shell::input("\xFF").commandContext(), shell::ConversionError);
}

}  // namespace
