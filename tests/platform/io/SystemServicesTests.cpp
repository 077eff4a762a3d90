#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <set>

#include <gtest/gtest.h>

#include "platform/system/Error.h"
#include "platform/system/FileSystem.h"
#include "platform/system/ProcessInfo.h"
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
    EXPECT_THROW(files.createDirectories(nested / "file" / "below"), platform::SystemError);
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

}  // namespace
