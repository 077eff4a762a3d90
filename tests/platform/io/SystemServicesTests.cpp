#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <set>

#include <gtest/gtest.h>

#include "platform/system/Error.h"
#include "platform/system/FileManager.h"
#include "platform/system/FileURLText.h"
#include "platform/system/ProcessInfo.h"
#include "platform/system/UUID.h"
#include "tests/platform/io/Support.h"
#include "tests/support/TemporaryDirectory.h"

using platform::FileManager;

namespace {

TEST(FileManager, CreatesDirectoriesAndReportsWhatIsInTheWay) {
    testsupport::TemporaryDirectory dir;
    auto& files = FileManager::defaultManager();
    const std::filesystem::path nested = dir.path() / "a" / "b" / "c";
    EXPECT_THROW(files.createDirectory(nested, false), platform::SystemError);
    files.createDirectory(nested, true);
    files.createDirectory(nested, true);  // already there: fine
    EXPECT_TRUE(std::filesystem::is_directory(nested));
    std::ofstream(nested / "file") << "contents";
    // A file in the way of a directory is an error, not success.
    EXPECT_THROW(files.createDirectory(nested / "file", true), platform::SystemError);
    EXPECT_THROW(files.contentsOfDirectory(dir.path() / "missing"), platform::SystemError);
}

TEST(ProcessInfo, ReportsTheEnvironmentAndAUniqueStringPerCall) {
    setenv("IO_TEST_VALUE", "a=b c", 1);
    EXPECT_EQ(platform::processInfo::environment().at("IO_TEST_VALUE"), "a=b c");
    unsetenv("IO_TEST_VALUE");

    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i)
        seen.insert(platform::processInfo::globallyUniqueString());
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
        {"/tmp/ABC/", false, "file:///tmp/ABC/"},
        {"/tmp/a b", false, "file:///tmp/a%20b"},
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
    std::set<std::string> seen;
    for (int i = 0; i < 10'000; ++i) {
        const std::string uuid = platform::makeUUIDString();
        EXPECT_TRUE(seen.insert(uuid).second) << uuid;
        ASSERT_EQ(uuid.size(), 36u) << uuid;
        for (std::size_t j = 0; j < uuid.size(); ++j) {
            const bool dash = j == 8 || j == 13 || j == 18 || j == 23;
            ASSERT_EQ(uuid[j] == '-', dash) << uuid;
            ASSERT_TRUE(dash || std::isdigit(static_cast<unsigned char>(uuid[j])) ||
                        (uuid[j] >= 'A' && uuid[j] <= 'F'))
                << uuid;
        }
        ASSERT_EQ(uuid[14], '4') << uuid;
        ASSERT_NE(std::string("89AB").find(uuid[19]), std::string::npos) << uuid;
    }
}

}  // namespace
