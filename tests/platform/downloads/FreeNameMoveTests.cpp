#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/system/FreeNameMove.h"
#include "tests/support/Environment.h"
#include "tests/support/TemporaryDirectory.h"

namespace {

namespace fs = std::filesystem;

// A second file system for the source, when the machine has one at hand.
std::optional<fs::path> otherFileSystem(const fs::path& than) {
    struct stat here {
    }, shm{};
    if (::stat(than.c_str(), &here) == 0 && ::stat("/dev/shm", &shm) == 0 &&
        here.st_dev != shm.st_dev && ::access("/dev/shm", W_OK) == 0) {
        return fs::path("/dev/shm");
    }
    return std::nullopt;
}

TEST(FreeNameMove, TakesTheFirstFreeNameAndReplacesNothing) {
    struct Case {
        const char* name;
        std::string file;
        std::vector<std::string> taken;  // already in the folder
        std::string expected;            // the name it gets
        bool acrossFileSystems = false;
    };
    const std::vector<Case> cases = {
        {"folder missing", "Foo.dmg", {}, "Foo.dmg"},
        {"name free", "Foo.dmg", {"Bar.dmg", "Foo.dmg.part"}, "Foo.dmg"},
        {"numbers taken too", "Foo.dmg", {"Foo.dmg", "Foo (1).dmg", "Foo (3).dmg"}, "Foo (2).dmg"},
        {"a folder holds the name", "Foo.dmg", {"Foo.dmg/"}, "Foo (1).dmg"},
        {"two dots", "Foo.app.dmg", {"Foo.app.dmg"}, "Foo.app (1).dmg"},
        {"no extension", "Foo", {"Foo"}, "Foo (1)"},
        {"across file systems", "Foo.dmg", {"Foo.dmg"}, "Foo (1).dmg", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TemporaryDirectory dir;
        const fs::path folder = dir.path() / "Downloads" / "deeper";
        std::optional<testsupport::TemporaryDirectory> elsewhere;
        if (c.acrossFileSystems) {
            auto other = otherFileSystem(dir.path());
            if (!other) {
                continue;  // nothing to cross on this machine
            }
            testsupport::ScopedEnvironmentVariable tmp("TMPDIR", other->string());
            elsewhere.emplace();
        }
        const fs::path source = elsewhere ? elsewhere->path() : dir.path();
        if (!c.taken.empty()) {
            fs::create_directories(folder);  // else the move makes it
        }
        for (const auto& name : c.taken) {
            if (name.ends_with("/")) {
                fs::create_directory(folder / name);
            } else {
                std::ofstream(folder / name) << "kept " << name;
            }
        }
        std::ofstream(source / c.file) << "the image";
        fs::permissions(source / c.file, fs::perms(0640));

        const fs::path moved = platform::moveIntoFolderUnderFreeName(source / c.file, folder);

        EXPECT_EQ(moved, folder / c.expected);
        EXPECT_EQ(testsupport::contentOf(moved), "the image");
        EXPECT_EQ(fs::status(moved).permissions(), fs::perms(0640));
        EXPECT_FALSE(fs::exists(source / c.file));
        for (const auto& name : c.taken) {
            if (!name.ends_with("/")) {
                EXPECT_EQ(testsupport::contentOf(folder / name), "kept " + name);
            }
        }
        EXPECT_EQ(testsupport::namesIn(folder).size(), c.taken.size() + 1);  // no hidden copy left
    }
}

// Many runs handing over images of the same name at once: each keeps its own
// file; none is overwritten by another.
TEST(FreeNameMove, RunsAtOnceNeverOverwriteEachOther) {
    testsupport::TemporaryDirectory dir;
    constexpr int threads = 4;
    constexpr int filesEach = 40;
    for (int t = 0; t < threads; ++t) {
        for (int i = 0; i < filesEach; ++i) {
            const fs::path work =
                dir.path() / ("work-" + std::to_string(t) + "-" + std::to_string(i));
            fs::create_directory(work);
            std::ofstream(work / "Foo.dmg") << t << "/" << i;
        }
    }
    std::vector<std::thread> runs;
    for (int t = 0; t < threads; ++t) {
        runs.emplace_back([&, t] {
            for (int i = 0; i < filesEach; ++i) {
                platform::moveIntoFolderUnderFreeName(
                    dir.path() / ("work-" + std::to_string(t) + "-" + std::to_string(i)) /
                        "Foo.dmg",
                    dir.path() / "Downloads");
            }
        });
    }
    for (auto& run : runs) {
        run.join();
    }
    std::set<std::string> contents;
    for (const auto& name : testsupport::namesIn(dir.path() / "Downloads")) {
        contents.insert(testsupport::contentOf(dir.path() / "Downloads" / name));
    }
    EXPECT_EQ(contents.size(), static_cast<std::size_t>(threads * filesEach));
}

TEST(FreeNameMove, AFolderThatCannotBeMadeIsAnErrorNamingIt) {
    testsupport::TemporaryDirectory dir;
    std::ofstream(dir.path() / "Downloads") << "a file where the folder should be";
    std::ofstream(dir.path() / "Foo.dmg") << "the image";
    try {
        platform::moveIntoFolderUnderFreeName(dir.path() / "Foo.dmg", dir.path() / "Downloads");
        FAIL() << "no error";
    } catch (const std::system_error& error) {
        EXPECT_NE(std::string(error.what()).find("'" + (dir.path() / "Downloads").string() + "'"),
                  std::string::npos)
            << error.what();
    }
    EXPECT_EQ(testsupport::contentOf(dir.path() / "Foo.dmg"), "the image");
}

}  // namespace
