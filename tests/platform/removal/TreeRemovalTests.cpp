#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/TemporaryDirectory.h"

namespace {

namespace fs = std::filesystem;

// One item of a tree made for a test: a folder (mode applied once its
// contents exist), a file, or a link with its target ("@" at its start stands
// for the folder the tree is made in).
struct Item {
    char kind;  // 'd', 'f' or 'l'
    std::string path;
    unsigned mode = 0755;
    std::string target = {};
};

void make(const fs::path& root, const std::vector<Item>& items) {
    for (const auto& item : items) {
        const fs::path path = root / item.path;
        fs::create_directories(path.parent_path());
        if (item.kind == 'd') {
            fs::create_directory(path);
        } else if (item.kind == 'f') {
            std::ofstream(path) << item.path;
        } else {
            std::string target = item.target;
            if (target.starts_with("@")) {
                target.replace(0, 1, root.string());
            }
            fs::create_symlink(target, path);
        }
    }
    // Deepest first, so a closed folder is closed after it was filled.
    for (auto item = items.rbegin(); item != items.rend(); ++item) {
        if (item->kind != 'l') {
            ASSERT_EQ(::chmod((root / item->path).c_str(), item->mode), 0) << item->path;
        }
    }
}

// Runs the probe so that it obeys permission bits: as root, without the
// capabilities that let root ignore them; without root it obeys them anyway.
testsupport::ProgramResult probe(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), CORVANTIS_REMOVAL_PROBE);
    if (::geteuid() == 0) {
        arguments.insert(arguments.begin(),
                         {"setpriv", "--bounding-set", "-dac_override,-dac_read_search,-fowner",
                          "--inh-caps=-all"});
    }
    return testsupport::runProgram(arguments);
}

// Lets the test process clean up what a probe could not remove.
void openUp(const fs::path& root) {
    std::error_code ignored;
    fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ignored);
    for (auto it = fs::recursive_directory_iterator(root, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        }
    }
}

TEST(TreeRemoval, RemovesTreesWhateverTheirFoldersModesWithoutFollowingLinks) {
    struct Case {
        const char* name;
        std::vector<Item> tree;  // under "tree"; "outside" holds other items
        std::string removed;     // relative to the test folder
        std::vector<std::string> left = {"outside"};
    };
    const std::vector<Item> outside = {
        {'d', "outside", 0555}, {'f', "outside/keep"}, {'d', "outside/closed", 0}};
    const std::vector<Case> cases = {
        {"closed inside read-only inside closed",
         {{'d', "tree", 0}, {'d', "tree/a", 0555}, {'d', "tree/a/b", 0}, {'f', "tree/a/b/f"}},
         "tree"},
        {"links to folders outside",
         {{'d', "tree", 0555},
          {'l', "tree/abs", 0, "@/outside"},
          {'l', "tree/rel", 0, "../outside"},
          {'l', "tree/closed", 0, "../outside/closed"}},
         "tree"},
        {"a link as the root", {{'l', "tree", 0, "outside"}}, "tree"},
        {"nothing there", {}, "tree"},
        {"trailing slash", {{'d', "tree", 0}, {'d', "tree/x", 0}}, "tree/"},
        {"in a folder that cannot be read",
         {{'d', "shut", 0300}, {'d', "shut/tree", 0}, {'f', "shut/tree/f"}},
         "shut/tree",
         {"outside", "shut"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TemporaryDirectory dir;
        std::vector<Item> items = outside;
        items.insert(items.end(), c.tree.begin(), c.tree.end());
        make(dir.path(), items);

        auto result = probe({"remove", (dir.path() / c.removed).string()});

        EXPECT_EQ(result.output, "ok\n");
        EXPECT_EQ(result.status, 0);
        openUp(dir.path() / "shut");
        EXPECT_EQ(testsupport::namesIn(dir.path()), c.left);
        // Nothing reached through a link was removed or had its bits changed.
        EXPECT_EQ(testsupport::namesIn(dir.path() / "outside"),
                  (std::vector<std::string>{"closed", "keep"}));
        EXPECT_EQ(fs::status(dir.path() / "outside").permissions(), fs::perms(0555));
        EXPECT_EQ(fs::symlink_status(dir.path() / "outside/closed").permissions(), fs::perms(0));
        openUp(dir.path());
    }
}

TEST(TreeRemoval, RemovesAllItCanAndNamesWhatStayed) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a folder to another user";
    }
    testsupport::TemporaryDirectory dir;
    make(dir.path(), {{'d', "tree"},
                      {'d', "tree/a"},
                      {'f', "tree/a/gone"},
                      {'d', "tree/theirs", 0555},
                      {'f', "tree/theirs/stays"},
                      {'f', "tree/z"}});
    ASSERT_EQ(::chown((dir.path() / "tree/theirs").c_str(), 65534, 65534), 0);

    auto result = probe({"remove", (dir.path() / "tree").string()});

    EXPECT_EQ(result.status, 1);
    const std::string stayed = (dir.path() / "tree/theirs/stays").string();
    EXPECT_EQ(result.output.rfind("Could not remove '" + stayed + "' and 2 more: ", 0), 0u)
        << result.output;
    EXPECT_EQ(testsupport::namesIn(dir.path() / "tree"), std::vector<std::string>{"theirs"});
}

// An application replaced in a folder of applications by a process that obeys
// permission bits, with read-only and closed folders in every bundle, leaves
// only the new bundle: no hidden copy of the old one, and none of those an
// interrupted move left before.
TEST(TreeRemoval, ReplacingAnApplicationLeavesNoHiddenCopies) {
    auto bundle = [](const std::string& root, const std::string& version) {
        return std::vector<Item>{{'d', root},
                                 {'d', root + "/Contents"},
                                 {'d', root + "/Contents/Resources", 0555},
                                 {'f', root + "/Contents/Resources/" + version, 0444},
                                 {'d', root + "/Contents/Closed", 0},
                                 {'d', root + "/Contents/Closed/Inner", 0555},
                                 {'l', root + "/Contents/Current", 0, "Resources"}};
    };
    testsupport::TemporaryDirectory dir;
    make(dir.path(), bundle("Applications/Foo.app", "old"));
    for (const char* leftover : {".Foo.app.moving-0123456789ab", ".Foo.app.moving-ba9876543210"}) {
        make(dir.path(), bundle(std::string("Applications/") + leftover, "old"));
    }
    const fs::path installed = dir.path() / "Applications/Foo.app";

    // Over the older copy, then back again.
    for (const std::string version : {"new", "old"}) {
        SCOPED_TRACE(version);
        make(dir.path(), bundle("work-" + version + "/Foo.app", version));
        auto result = probe({"replace", installed.string(),
                             (dir.path() / ("work-" + version) / "Foo.app").string()});
        EXPECT_EQ(result.output, "ok\n");
        EXPECT_EQ(testsupport::namesIn(dir.path() / "Applications"),
                  std::vector<std::string>{"Foo.app"});
        EXPECT_EQ(testsupport::namesIn(installed / "Contents/Resources"),
                  std::vector<std::string>{version});
    }
    openUp(dir.path());
}

}  // namespace
