#include <filesystem>
#include <list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "shell/Shell.h"

using shell::ArgumentList;
using shell::CommandError;
using shell::flattenArguments;
using Texts = std::vector<std::string>;

TEST(FlattenArguments, MixedValuesNestedListsAndNumbers) {
    const std::vector<std::vector<Texts>> deep = {{{"a", "b"}, {}}, {{"c"}}};
    const std::initializer_list<int> numbers = {1, 2};
    const std::string owned = "owned";
    const std::string_view view = "view";
    struct Case {
        const char* name;
        Texts flattened;
        Texts expected;
    };
    const Case cases[] = {
        {"nothing", flattenArguments(), {}},
        {"the documented example",
         flattenArguments("-q", ArgumentList{"-o", ArgumentList{"x"}}, 7),
         {"-q", "-o", "x", "7"}},
        {"text kinds", flattenArguments(owned, view, "literal"), {"owned", "view", "literal"}},
        {"numbers in decimal",
         flattenArguments(0, -12, 4000000000u, 2.5, 'c', true),
         {"0", "-12", "4000000000", "2.5", "c", "true"}},
        {"lists of any depth, in order",
         flattenArguments("x", deep, "y"),
         {"x", "a", "b", "c", "y"}},
        {"empty lists give nothing", flattenArguments(Texts{}, ArgumentList{}, "z"), {"z"}},
        {"initializer lists and other ranges",
         flattenArguments(numbers, std::list<int>{3}),
         {"1", "2", "3"}},
        {"a path is one text", flattenArguments(std::filesystem::path("/a b/c")), {"/a b/c"}},
        {"blanks stay inside their argument", flattenArguments("a b", ""), {"a b", ""}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.flattened, c.expected) << c.name;
    }
}

TEST(CommandText, BlankHoldingArgumentsAreQuotedAndNothingIsEscaped) {
    struct Case {
        Texts arguments;
        std::string expected;
    };
    const Case cases[] = {
        {{}, "/usr/bin/unzip"},
        {{"-q", "-o", "/tmp/a b.zip", "-d", "/tmp"},
         "/usr/bin/unzip -q -o \"/tmp/a b.zip\" -d /tmp"},
        {{"", "say \"hi\"", "tab\there"}, "/usr/bin/unzip  \"say \"hi\"\" tab\there"},
    };
    shell::CustomContext context;
    for (const auto& c : cases) {
        const auto options = shell::buildLaunchOptions("/usr/bin/unzip", c.arguments, context);
        EXPECT_EQ(shell::commandText(options), c.expected);
    }
}

TEST(CommandError, DescriptionsCodesAndEquality) {
    // The texts and statuses of the first two cases are checked where they
    // end a process.
    const auto failed = CommandError::returnedErrorCode("/bin/ls -l", 2);
    const auto missing = CommandError::inAccessibleExecutable("unzip");
    const auto refused =
        CommandError::launchFailed("/x", std::make_error_code(std::errc::permission_denied));
    EXPECT_STREQ(refused.what(), "Could not launch '/x': Permission denied.");
    EXPECT_EQ(refused.exitCode(), 126);
    EXPECT_EQ(refused.code(), std::errc::permission_denied);
    EXPECT_EQ(CommandError::timedOut("x", std::chrono::milliseconds(1500)).exitCode(), 124);
    // The two cases without a system reason are told apart by code() too.
    EXPECT_EQ(failed.code(), std::error_code(0, shell::commandCategory()));
    EXPECT_EQ(missing.code(), std::error_code(1, shell::commandCategory()));

    // Same case and payload, and nothing less.
    EXPECT_EQ(failed, CommandError::returnedErrorCode("/bin/ls -l", 2));
    EXPECT_NE(failed, CommandError::returnedErrorCode("/bin/ls -l", 3));
    EXPECT_NE(failed, CommandError::returnedErrorCode("/bin/ls", 2));
    EXPECT_NE(missing, CommandError::inAccessibleExecutable("zip"));
    // A path equal to a command text is still another case.
    EXPECT_NE(CommandError::inAccessibleExecutable("x"), CommandError::returnedErrorCode("x", 0));
}
