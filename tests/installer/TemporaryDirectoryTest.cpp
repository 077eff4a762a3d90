#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "installer/TemporaryDirectory.h"
#include "platform/system/FileManager.h"

namespace {

TEST(TemporaryDirectory, IsOneNamedDirectoryUnderTheSystemTemporaryDirectory) {
    const auto& directory = installer::installerTempDirectory();
    EXPECT_TRUE(directory.isFileURL());
    EXPECT_TRUE(directory.hasDirectoryPath());

    std::filesystem::path path = directory.path();
    auto temporary = platform::FileManager::defaultManager().temporaryDirectory();
    EXPECT_TRUE(std::filesystem::equivalent(path.parent_path(), temporary)) << path;
    // Only named here: creating it is the download's job.
    EXPECT_FALSE(std::filesystem::exists(path));

    auto name = path.filename().string();
    ASSERT_EQ(name.size(), 36u) << name;
    for (std::size_t index : {8u, 13u, 18u, 23u}) {
        EXPECT_EQ(name[index], '-') << name;
    }
}

TEST(TemporaryDirectory, EveryThreadSeesTheSameValue) {
    std::vector<std::string> seen(8);
    std::vector<std::thread> threads;
    for (std::size_t index = 0; index < seen.size(); ++index) {
        threads.emplace_back(
            [&seen, index] { seen[index] = installer::installerTempDirectory().absoluteString(); });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::set<std::string> distinct(seen.begin(), seen.end());
    distinct.insert(installer::installerTempDirectory().absoluteString());
    EXPECT_EQ(distinct.size(), 1u);
}

}  // namespace
