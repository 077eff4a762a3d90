#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "installer/safety/BundleLinks.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TemporaryDirectory.h"

namespace {

namespace fs = std::filesystem;

std::string withRoot(std::string text, const fs::path& root) {
    for (auto at = text.find('@'); at != std::string::npos; at = text.find('@', at)) {
        text.replace(at, 1, root.string());
        at += root.string().size();
    }
    return text;
}

// Hostile and ordinary archives, unpacked as a run unpacks them: the system's
// unzip with "-q", "-o", archive, "-d", working directory. Whatever unzip
// makes of them, nothing may appear outside the working directory, and the
// bundle that would move into the applications folder must keep no link that
// leads out of it. "@" stands for the folder that holds the working
// directory and its neighbour "outside".
TEST(UnpackedBundle, NothingLandsOutsideAndNoLinkLeadsOutOfTheBundle) {
    struct Case {
        const char* name;
        std::vector<std::string> entries;  // as make-zip takes them
        std::string refusal;               // empty: the bundle is accepted
    };
    const std::vector<Case> cases = {
        // unzip goes on past each of them, so one archive shows them all.
        {"names climbing with .., with backslashes, or absolute",
         {"f:Foo.app/Contents/Info.plist", "f:../escaped", "f:Foo.app/../../escaped2",
          "w:..\\escaped3", "w:a\\..\\..\\escaped4", "f:@/outside/absolute"},
         ""},
        {"relative link climbing out, then a write through it",
         {"d:Foo.app/", "l:Foo.app/Contents=../../outside", "f:Foo.app/Contents/written"},
         "The application \"Foo.app\" holds a link \"Contents\" to \"../../outside\", which "
         "points outside it; it was not installed."},
        {"link out of the bundle by way of a link to its top",
         {"d:Foo.app/Contents/", "l:Foo.app/Contents/top=..", "l:Foo.app/Contents/out=top/.."},
         "The application \"Foo.app\" holds a link \"Contents/out\" to \"top/..\", which points "
         "outside it; it was not installed."},
        {"absolute link back into the bundle",
         {"f:Foo.app/Contents/Info.plist",
          "l:Foo.app/Info.plist=@/work/Foo.app/Contents/Info.plist"},
         "The application \"Foo.app\" holds a link \"Info.plist\" to "
         "\"@/work/Foo.app/Contents/Info.plist\", which points outside it; it was not installed."},
        {"the bundle itself a link",
         {"l:Foo.app=@/outside"},
         "The application \"Foo.app\" is a link to \"@/outside\", not a folder; it was not "
         "installed."},
        {"a link leading round in circles",
         {"d:Foo.app/", "l:Foo.app/loop=loop/next"},
         "The application \"Foo.app\" holds a link \"loop\" to \"loop/next\" that leads round in "
         "circles; it was not installed."},
        {"framework links inside the bundle",
         {"f:Foo.app/Contents/Frameworks/B.framework/Versions/A/B",
          "l:Foo.app/Contents/Frameworks/B.framework/Versions/Current=A",
          "l:Foo.app/Contents/Frameworks/B.framework/B=Versions/Current/B",
          "l:Foo.app/Contents/MacOS/tool=../Frameworks/B.framework/B",
          "l:Foo.app/Contents/Self=../Contents/./MacOS/..", "l:Foo.app/Contents/Dangling=missing"},
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TemporaryDirectory dir;
        const fs::path work = dir.path() / "work";
        fs::create_directory(work);
        fs::create_directory(dir.path() / "outside");
        std::vector<std::string> command = {CORVANTIS_MAKE_ZIP, (work / "build.zip").string()};
        for (const auto& entry : c.entries) {
            command.push_back(withRoot(entry, dir.path()));
        }
        ASSERT_EQ(testsupport::runProgram(command).status, 0);

        // Its status is the flow's concern; here only where things went.
        testsupport::runProgram(
            {"unzip", "-q", "-o", (work / "build.zip").string(), "-d", work.string()});

        EXPECT_EQ(testsupport::namesIn(dir.path()), (std::vector<std::string>{"outside", "work"}));
        EXPECT_EQ(testsupport::namesIn(dir.path() / "outside"), std::vector<std::string>{});
        auto refusal = installer::safety::checkUnpackedBundle(work / "Foo.app");
        if (c.refusal.empty()) {
            EXPECT_EQ(refusal, std::nullopt);
        } else {
            EXPECT_EQ(refusal, withRoot(c.refusal, dir.path()));
        }
    }
}

// Folders an archive left closed (000) or read-only, checked by a process
// that obeys permission bits, as an installer without root's overrides is:
// they are looked into all the same (the link out deep inside them is found)
// and keep their modes afterwards.
TEST(UnpackedBundle, ClosedFoldersAreCheckedAndKeepTheirModes) {
    testsupport::TemporaryDirectory dir;
    const fs::path bundle = dir.path() / "Foo.app";
    fs::create_directories(bundle / "Contents/Closed/Inner");
    fs::create_symlink("../../../../outside", bundle / "Contents/Closed/Inner/link");
    const std::vector<std::pair<fs::path, unsigned>> modes = {
        {bundle / "Contents/Closed/Inner", 0}, {bundle / "Contents/Closed", 0500}, {bundle, 0}};
    for (const auto& [path, mode] : modes) {
        ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    }
    std::vector<std::string> command = {CORVANTIS_BUNDLE_CHECK_PROBE, bundle.string()};
    if (::geteuid() == 0) {
        command.insert(command.begin(), {"setpriv", "--bounding-set",
                                         "-dac_override,-dac_read_search", "--inh-caps=-all"});
    }

    EXPECT_EQ(testsupport::runProgram(command).output,
              "The application \"Foo.app\" holds a link \"Contents/Closed/Inner/link\" to "
              "\"../../../../outside\", which points outside it; it was not installed.\n");
    for (const auto& [path, mode] : modes) {
        EXPECT_EQ(fs::symlink_status(path).permissions(), fs::perms(mode)) << path;
        fs::permissions(path, fs::perms::owner_all);
    }
}

}  // namespace
