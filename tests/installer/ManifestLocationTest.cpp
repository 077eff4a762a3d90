#include <gtest/gtest.h>

#include <optional>
#include <regex>
#include <string>

#include "installer/engine/Format.h"
#include "installer/engine/ManifestLocation.h"
#include "installer/engine/TemporaryDirectory.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TemporaryDirectory.h"

namespace {

using installer::format;
using installer::manifestTemplate;

TEST(ManifestLocation, OnlyProdExactlySelectsProduction) {
    struct Case {
        const char* environment;
        const char* expected;
    };
    const Case cases[] = {
        {"prod", "https://prod.test/%@/cv-latest-mac.json"},
        {"Prod", "https://dev.test/%@/cv-latest-mac.json"},
        {"prod ", "https://dev.test/%@/cv-latest-mac.json"},
        {"", "https://dev.test/%@/cv-latest-mac.json"},
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(manifestTemplate(testCase.environment, "prod.test", "dev.test"),
                  testCase.expected)
            << '"' << testCase.environment << '"';
    }
}

// Only a string is a product identifier, the empty one too; the settings
// file's forms and value types are the bundle's own tests' concern.
TEST(ManifestLocation, ReadsTheProductIDOnlyWhenItIsAString) {
    struct Case {
        const char* settings;  // a Python expression; None: no settings file
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"{'Corvantis ID': 'team/app'}", "team/app"},
        {"{'Corvantis ID': ''}", ""},
        {"{'Corvantis ID': 42}", std::nullopt},
        {"None", std::nullopt},
    };
    // One program writes every settings file: bundles/<index>/Contents/Info.plist.
    testsupport::TemporaryDirectory bundles;
    std::string script = "import plistlib\n";
    for (std::size_t index = 0; index < std::size(cases); ++index) {
        const auto contents = bundles.path() / std::to_string(index) / "Contents";
        std::filesystem::create_directories(contents);
        script += std::string("s = ") + cases[index].settings +
                  "\nif s is not None: plistlib.dump(s, open('" +
                  (contents / "Info.plist").string() + "', 'wb'))\n";
    }
    ASSERT_EQ(testsupport::runProgram({"python3", "-c", script}).status, 0);
    for (std::size_t index = 0; index < std::size(cases); ++index) {
        EXPECT_EQ(
            installer::readProductID(platform::Bundle::at(bundles.path() / std::to_string(index))),
            cases[index].expected)
            << cases[index].settings;
    }
}

// Named once: the system temporary directory plus an upper-case UUID.
TEST(ManifestLocation, WorkingDirectoryIsNamedOnce) {
    const auto& directory = installer::installerTempDirectory();
    EXPECT_EQ(&directory, &installer::installerTempDirectory());
    const char* temporary = std::getenv("TMPDIR");
    EXPECT_EQ(directory.parent_path(),
              temporary != nullptr && *temporary != '\0' ? temporary : "/tmp");
    EXPECT_TRUE(std::regex_match(
        directory.filename().string(),
        std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")))
        << directory;
}

TEST(Format, FillsPlaceholdersInOrder) {
    // A placeholder inside an argument is not filled again.
    EXPECT_EQ(format("%@ and %@", {"50%@off", "b"}), "50%@off and b");
    EXPECT_EQ(format("%@%@", {"a", "b"}), "ab");
    EXPECT_EQ(format("no placeholder", {"unused"}), "no placeholder");
    EXPECT_EQ(format("%@ then %@", {"only"}), "only then %@");
    EXPECT_EQ(format("100%", {"x"}), "100%");
}

}  // namespace
