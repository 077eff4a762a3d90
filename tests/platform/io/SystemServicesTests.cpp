#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <set>

#include <gtest/gtest.h>

#include "platform/system/Error.h"
#include "platform/system/FileSystem.h"
#include "platform/system/FileURLText.h"
#include "platform/system/ProcessInfo.h"
#include "platform/system/UUID.h"
#include "tests/platform/io/Support.h"
#include "tests/support/TemporaryDirectory.h"

using platform::FileSystem;

namespace {

TEST(FileSystem, MakesFoldersAndRefusesAFileInTheWay) {
    testsupport::TemporaryDirectory dir;
    auto& files = FileSystem::shared();
    const std::filesystem::path nested = dir.path() / "a" / "b" / "c";
    files.createDirectories(nested);
    files.createDirectories(nested);  // already there: fine
    EXPECT_TRUE(std::filesystem::is_directory(nested));
    std::ofstream(nested / "file") << "contents";
    EXPECT_THROW(files.createDirectories(nested / "file"), platform::SystemError);
}

TEST(ProcessInfo, ReportsTheEnvironmentAndAUniqueStringPerCall) {
    setenv("IO_TEST_VALUE", "a=b c", 1);
    EXPECT_EQ(platform::processInfo::environment().at("IO_TEST_VALUE"), "a=b c");
    unsetenv("IO_TEST_VALUE");

    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i)
        seen.insert(platform::processInfo::uniqueName());
    EXPECT_EQ(seen.size(), 100u);
    EXPECT_EQ(seen.begin()->find('/'), std::string::npos);
}

TEST(FileURLText, EncodesThePathAndEndsADirectoryInASlash) {
    struct Case {
        std::filesystem::path path;
        bool isDirectory;
        std::string text;
    };
    const Case cases[] = {
        {"/tmp/ABC", true, "file:///tmp/ABC/"},
        {"/tmp/x#y?z%", false, "file:///tmp/x%23y%3Fz%25"},
        {"/tmp/\xC3\xA9t\xC3\xA9", false, "file:///tmp/%C3%A9t%C3%A9"},
        {"/tmp/-._~!$&'()*+,;=:@", false, "file:///tmp/-._~!$&'()*+,;=:@"},
        {"/", true, "file:///"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(platform::fileURLText(c.path, c.isDirectory), c.text);
    }
    // A relative path is taken from the current directory.
    EXPECT_EQ(platform::fileURLText("x", false),
              platform::fileURLText(std::filesystem::current_path() / "x", false));
}

TEST(UUID, EveryCallGivesANewUpperCaseVersionFourUUID) {
    const std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 10'000; ++i) {
        const std::string uuid = platform::makeUUIDString();
        EXPECT_TRUE(std::regex_match(uuid, form)) << uuid;
        EXPECT_TRUE(seen.insert(uuid).second) << uuid;
    }
}

}  // namespace
