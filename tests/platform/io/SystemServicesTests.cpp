#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <set>

#include <gtest/gtest.h>

#include "platform/system/Error.h"
#include "platform/system/FileManager.h"
#include "platform/system/ProcessInfo.h"
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

}  // namespace
