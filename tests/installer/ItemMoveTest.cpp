#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <tuple>

#include "platform/system/Error.h"
#include "platform/system/ItemMove.h"
#include "platform/system/TreeRemoval.h"
#include "tests/support/TemporaryDirectory.h"

namespace {

namespace fs = std::filesystem;

// What a tree holds: per relative path its kind, permission bits,
// modification time and content (a link's target for links).
using Snapshot = std::map<std::string, std::tuple<char, unsigned, long long, std::string>>;

Snapshot snapshot(const fs::path& root) {
    Snapshot result;
    auto add = [&](const fs::path& path) {
        struct stat status {};
        EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
        std::string content;
        char kind = 'd';
        if (S_ISLNK(status.st_mode)) {
            kind = 'l';
            content = fs::read_symlink(path).string();
        } else if (S_ISREG(status.st_mode)) {
            kind = 'f';
            std::ifstream in(path, std::ios::binary);
            content.assign(std::istreambuf_iterator<char>(in), {});
            if (content.size() > 256) {
                content = "bytes: " + std::to_string(content.size()) + ", hash " +
                          std::to_string(std::hash<std::string>()(content));
            }
        }
        long long mtime = S_ISLNK(status.st_mode) ? 0 : status.st_mtim.tv_sec;
        result[path.lexically_relative(root.parent_path()).string()] = {
            kind, static_cast<unsigned>(status.st_mode & 07777), mtime, content};
    };
    add(root);
    if (fs::is_directory(fs::symlink_status(root))) {
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            add(entry.path());
        }
    }
    return result;
}

void write(const fs::path& path, const std::string& content, fs::perms perms) {
    std::ofstream(path, std::ios::binary) << content;
    fs::permissions(path, perms);
}

// An application bundle with what bundles hold: an executable, read-only
// parts, links inside and out, an empty folder and one large file.
fs::path makeBundle(const fs::path& folder, const std::string& version) {
    auto bundle = folder / "Sample.app";
    fs::create_directories(bundle / "Contents" / "MacOS");
    fs::create_directories(bundle / "Contents" / "Resources" / "Empty");
    fs::create_directories(bundle / "Contents" / "Locked");
    write(bundle / "Contents" / "Info.plist", "<plist>" + version + "</plist>",
          fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    write(bundle / "Contents" / "MacOS" / "Sample", "#!/bin/sh\necho " + version + "\n",
          fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    write(bundle / "Contents" / "Locked" / "sealed", version, fs::perms::owner_read);
    fs::permissions(bundle / "Contents" / "Locked", fs::perms::owner_read | fs::perms::owner_exec);
    std::string large(1024 * 1024 + 17, '\0');
    std::mt19937 random(static_cast<unsigned>(version.size()));
    for (auto& c : large) {
        c = static_cast<char>(random());
    }
    write(bundle / "Contents" / "Resources" / "large.bin", version + large, fs::perms::owner_read);
    fs::create_symlink("Resources", bundle / "Contents" / "Current");
    fs::create_symlink("/nonexistent/" + version, bundle / "Contents" / "Dangling");
    // A time far from now, so a copy that forgets it shows.
    fs::last_write_time(bundle / "Contents" / "Info.plist",
                        fs::file_time_type::clock::now() - std::chrono::hours(24 * 400));
    return bundle;
}

bool onAnotherFileSystem(const fs::path& path) {
    struct stat here {
    }, shm{};
    return ::stat(path.c_str(), &here) == 0 && ::stat("/dev/shm", &shm) == 0 &&
           S_ISDIR(shm.st_mode) && here.st_dev != shm.st_dev;
}

fs::path makeFolder(const fs::path& in) {
    std::string pattern = (in / "item-move-XXXXXX").string();
    EXPECT_NE(::mkdtemp(pattern.data()), nullptr);
    return pattern;
}

// Moves within one file system (a rename) and into another one (/dev/shm is
// a tmpfs), which needs the copy.
class ItemMove : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        if (GetParam()) {
            if (!onAnotherFileSystem(work_.path())) {
                GTEST_SKIP() << "needs /dev/shm on another file system than the temporary one";
            }
            applications_ = makeFolder("/dev/shm");
            ownsApplications_ = true;
        } else {
            applications_ = work_.path() / "Applications";
            fs::create_directory(applications_);
        }
        downloads_ = work_.path() / "download";
        fs::create_directory(downloads_);
    }
    void TearDown() override {
        if (ownsApplications_) {
            platform::removeTree(applications_);
        }
    }

    testsupport::TemporaryDirectory work_;
    bool ownsApplications_ = false;
    fs::path applications_;
    fs::path downloads_;
};

// Beside the item: what interrupted moves left, which goes, and names that
// only look like it, which stay.
TEST_P(ItemMove, MovesAndReplacesWholeTreesLeavingNothingBehind) {
    auto leftover = applications_ / ".Sample.app.moving-0123456789AB";
    fs::create_directory(leftover);
    write(leftover / "half", "x", fs::perms::owner_all);
    for (auto name : {".Sample.app.moving-short", ".Other.app.moving-0123456789AB", "Other.app"}) {
        fs::create_directory(applications_ / name);
    }
    auto source = makeBundle(downloads_, "new");
    auto expected = snapshot(source);
    platform::moveItem(source, applications_ / "Sample.app");
    EXPECT_EQ(snapshot(applications_ / "Sample.app"), expected);
    EXPECT_FALSE(fs::exists(fs::symlink_status(source)));

    // A move never overwrites.
    const auto existing = applications_ / "Sample.app";
    write(existing / "Contents" / "only-in-old", "x", fs::perms::owner_all);
    const auto before = snapshot(existing);
    source = makeBundle(downloads_, "newer");
    expected = snapshot(source);
    try {
        platform::moveItem(source, existing);
        ADD_FAILURE() << "moved over an existing item";
    } catch (const platform::SystemError& error) {
        EXPECT_EQ(error.code(), std::errc::file_exists) << error.what();
        EXPECT_NE(std::string(error.what()).find(existing.string()), std::string::npos);
    }
    EXPECT_EQ(snapshot(existing), before);
    EXPECT_EQ(snapshot(source), expected);

    // A replacement keeps nothing of the old item.
    EXPECT_EQ(platform::replaceItem(existing, source), existing);
    EXPECT_EQ(snapshot(existing), expected);
    EXPECT_FALSE(fs::exists(fs::symlink_status(source)));
    EXPECT_EQ(testsupport::namesIn(applications_),
              (std::vector<std::string>{".Other.app.moving-0123456789AB",
                                        ".Sample.app.moving-short", "Other.app", "Sample.app"}));
}

// A replacement killed at any moment leaves the whole old item or the whole
// new one under the name, never a mix; a later one clears what it left.
TEST_P(ItemMove, AKilledReplacementLeavesTheOldItemOrTheNew) {
    const auto destination = applications_ / "Sample.app";
    const auto oldItem = makeBundle(makeFolder(work_.path()), "old");
    write(oldItem / "Contents" / "only-in-old", "x", fs::perms::owner_all);
    const auto newItem = makeBundle(makeFolder(work_.path()), "new");
    const Snapshot old = snapshot(oldItem), fresh = snapshot(newItem);
    const auto copy = [](const fs::path& from, const fs::path& to) {
        platform::removeTree(to);
        ASSERT_EQ(std::system(("cp -a '" + from.string() + "' '" + to.string() + "'").c_str()), 0);
    };
    // Starts replacing in a child of its own; kills it after delay unless
    // it is none. How long the replacement took.
    const auto replaceIn = [&](std::optional<std::chrono::microseconds> delay) {
        copy(newItem, downloads_ / "Sample.app");
        const auto started = std::chrono::steady_clock::now();
        const pid_t child = ::fork();
        if (child == 0) {
            try {
                platform::replaceItem(destination, downloads_ / "Sample.app");
            } catch (...) {
                ::_exit(1);
            }
            ::_exit(0);
        }
        if (delay) {
            std::this_thread::sleep_for(*delay);  // the moment to kill at, not a wait
            ::kill(child, SIGKILL);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(delay || (WIFEXITED(status) && WEXITSTATUS(status) == 0));
        return std::chrono::steady_clock::now() - started;
    };

    copy(oldItem, destination);
    const auto window = std::chrono::duration_cast<std::chrono::microseconds>(replaceIn({}));
    std::mt19937 random(7);
    std::uniform_int_distribution<long long> moment(0, window.count() * 6 / 5);
    for (int attempt = 0; attempt < 40; ++attempt) {
        if (snapshot(destination) != old) {
            copy(oldItem, destination);
        }
        replaceIn(std::chrono::microseconds(moment(random)));
        const auto found = snapshot(destination);
        ASSERT_TRUE(found == old || found == fresh) << "attempt " << attempt;
    }
    replaceIn({});
    EXPECT_EQ(snapshot(destination), fresh);
    EXPECT_EQ(testsupport::namesIn(applications_), std::vector<std::string>{"Sample.app"});
}

INSTANTIATE_TEST_SUITE_P(SameAndOtherFileSystem, ItemMove, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Across" : "Within"; });

// A copy that cannot finish leaves the old item, the source and the folder as
// they were: a named pipe is not something a bundle copy makes. Moves and
// replacements copy through the same staging, which cleans up after itself.
TEST(ItemMoveFailure, AFailedCopyChangesNothing) {
    testsupport::TemporaryDirectory work;
    if (!onAnotherFileSystem(work.path())) {
        GTEST_SKIP() << "needs /dev/shm on another file system than the temporary one";
    }
    fs::path applications = makeFolder("/dev/shm");
    auto existing = makeBundle(applications, "old");
    auto before = snapshot(existing);
    auto source = makeBundle(work.path(), "new");
    ASSERT_EQ(::mkfifo((source / "Contents" / "pipe").c_str(), 0600), 0);
    auto sourceBefore = snapshot(source);

    try {
        platform::replaceItem(existing, source);
        ADD_FAILURE() << "copied a named pipe";
    } catch (const platform::SystemError& error) {
        EXPECT_EQ(error.code(), std::errc::operation_not_supported) << error.what();
    }
    EXPECT_EQ(snapshot(existing), before);
    EXPECT_EQ(snapshot(source), sourceBefore);
    EXPECT_EQ(testsupport::namesIn(applications), std::vector<std::string>{"Sample.app"});
    platform::removeTree(applications);
}

}  // namespace
