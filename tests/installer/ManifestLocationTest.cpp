#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <regex>
#include <string>

#include "installer/engine/Format.h"
#include "installer/engine/ManifestLocation.h"
#include "installer/engine/TemporaryDirectory.h"
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
        const char* entries;  // of the settings dictionary; none: no settings
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"<key>Corvantis ID</key><string>team/app</string>", "team/app"},
        {"<key>Corvantis ID</key><string></string>", ""},
        {"<key>Corvantis ID</key><integer>42</integer>", std::nullopt},
        {"", std::nullopt},
    };
    testsupport::TemporaryDirectory bundle;
    std::filesystem::create_directory(bundle.path() / "Contents");
    for (const auto& c : cases) {
        std::ofstream(bundle.path() / "Contents/Info.plist")
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
            << c.entries << "</dict></plist>\n";
        EXPECT_EQ(installer::readProductID(platform::Bundle::at(bundle.path())), c.expected)
            << c.entries;
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
