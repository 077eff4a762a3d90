#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "platform/workspace/Workspace.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Environment.h"
#include "tests/support/TemporaryDirectory.h"

namespace {

namespace fs = std::filesystem;
using platform::URL;
using testsupport::ScopedEnvironmentVariable;

void writeExecutable(const fs::path& path, const std::string& script) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << script;
    fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Waits for files written by processes that run on their own. The limit only
// keeps a broken build from hanging; nothing is measured.
bool waitForFiles(const fs::path& directory, std::size_t count) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        std::error_code ignored;
        if (fs::exists(directory, ignored)) {
            std::size_t found = 0;
            for (const auto& entry : fs::directory_iterator(directory)) {
                found += entry.path().extension() == ".done" ? 1 : 0;
            }
            if (found >= count) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Each marker a program left: its text, in no particular order.
std::multiset<std::string> markers(const fs::path& directory) {
    std::multiset<std::string> texts;
    for (const auto& entry : fs::directory_iterator(directory)) {
        if (entry.path().extension() == ".done") {
            texts.insert(readFile(entry.path()));
        }
    }
    return texts;
}

bool hasNoChildren() {
    return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD;
}

class WorkspaceTest : public ::testing::Test {
  protected:
    WorkspaceTest() {
        fs::create_directories(runtime());
        fs::create_directories(openedDirectory());
        // A stand-in for the desktop's default handler: it notes what it was
        // asked to open, one marker per request.
        writeExecutable(bin() / "xdg-open", "#!/bin/sh\nprintf '%s' \"$*\" > \"" +
                                                openedDirectory().string() + "/$$.tmp\"\nmv \"" +
                                                openedDirectory().string() + "/$$.tmp\" \"" +
                                                openedDirectory().string() + "/$$.done\"\n");
    }

    fs::path bin() const { return directory_.path() / "bin"; }
    fs::path runtime() const { return directory_.path() / "runtime"; }
    fs::path openedDirectory() const { return directory_.path() / "opened"; }
    const fs::path& root() const { return directory_.path(); }

    fs::path makeApplication(const std::string& name, const std::optional<std::string>& executable,
                             const std::optional<std::string>& script) {
        fs::path bundle = root() / "Applications" / name;
        fs::create_directories(bundle / "Contents/MacOS");
        std::string info =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
            "<key>CFBundleName</key><string>Demo</string>\n";
        if (executable) {
            info += "<key>CFBundleExecutable</key><string>" + *executable + "</string>\n";
        }
        info += "</dict>\n</plist>\n";
        std::ofstream(bundle / "Contents/Info.plist") << info;
        if (executable && script) {
            writeExecutable(bundle / "Contents/MacOS" / *executable, *script);
        }
        return bundle;
    }

    testsupport::TemporaryDirectory directory_{"workspace-test"};
    ScopedEnvironmentVariable path_{"PATH", bin().string() + ":/usr/bin:/bin"};
    ScopedEnvironmentVariable bus_{"DBUS_SESSION_BUS_ADDRESS", std::nullopt};
    ScopedEnvironmentVariable runtimeDirectory_{"XDG_RUNTIME_DIR", runtime().string()};
};

TEST_F(WorkspaceTest, AnApplicationIsStartedDetachedFromItsBundleExecutable) {
    const fs::path started = root() / "started";
    fs::create_directories(started);
    // The application reports its /proc stat line, working directory and
    // standard streams, read before it redirects anything itself.
    fs::path bundle = makeApplication(
        "Demo.app", "Demo Launcher",
        "#!/bin/sh\n"
        "streams=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2 | tr '\\n' ' ')\n"
        "{ cat /proc/$$/stat; pwd; echo \"$streams\"; } > \"" +
            started.string() + "/app.tmp\"\nmv \"" + started.string() + "/app.tmp\" \"" +
            started.string() + "/app.done\"\n");

    ASSERT_TRUE(platform::workspace::open(URL::fileURL(bundle, true)));
    // The helper process is reaped and the application is not ours to reap.
    EXPECT_TRUE(hasNoChildren());
    ASSERT_TRUE(waitForFiles(started, 1));

    std::istringstream report(readFile(started / "app.done"));
    std::string stat;
    std::string workingDirectory;
    std::string streams;
    std::getline(report, stat);
    std::getline(report, workingDirectory);
    std::getline(report, streams);
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    char state = 0;
    pid_t parent = 0;
    pid_t group = 0;
    pid_t session = 0;
    fields >> state >> parent >> group >> session;
    EXPECT_NE(parent, getpid());
    EXPECT_NE(session, getsid(0));
    EXPECT_EQ(workingDirectory, "/");
    EXPECT_EQ(streams, "/dev/null /dev/null /dev/null ");
    EXPECT_TRUE(hasNoChildren());
    EXPECT_TRUE(markers(openedDirectory()).empty());
}

TEST_F(WorkspaceTest, OtherItemsGoToTheDefaultHandler) {
    fs::path document = root() / "a document.dmg";
    std::ofstream(document) << "image";
    fs::path notAnApplication = root() / "Plain.app";
    fs::create_directories(notAnApplication);

    EXPECT_TRUE(platform::workspace::open(URL::fileURL(document)));
    EXPECT_TRUE(platform::workspace::open(URL::fileURL(notAnApplication, true)));
    EXPECT_TRUE(platform::workspace::open(*URL::parse("https://example.com/page?q=1")));
    EXPECT_TRUE(hasNoChildren());
    ASSERT_TRUE(waitForFiles(openedDirectory(), 3));
    EXPECT_EQ(markers(openedDirectory()),
              (std::multiset<std::string>{document.string(), notAnApplication.string(),
                                          "https://example.com/page?q=1"}));
}

TEST_F(WorkspaceTest, RequestsThatCannotBeCarriedOutAreRefused) {
    fs::path document = root() / "document.dmg";
    std::ofstream(document) << "image";
    struct Case {
        std::string name;
        URL url;
    };
    const Case cases[] = {
        {"missing file", URL::fileURL(root() / "missing.dmg")},
        {"bundle without an executable setting",
         URL::fileURL(makeApplication("NoSetting.app", std::nullopt, std::nullopt), true)},
        {"bundle whose executable is missing",
         URL::fileURL(makeApplication("NoFile.app", "Demo", std::nullopt), true)},
        {"bundle whose executable may not run",
         URL::fileURL(makeApplication("NotRunnable.app", "Demo", "#!/bin/sh\n"), true)},
    };
    fs::permissions(root() / "Applications/NotRunnable.app/Contents/MacOS/Demo",
                    fs::perms::owner_read | fs::perms::owner_write);
    for (const Case& c : cases) {
        EXPECT_FALSE(platform::workspace::open(c.url)) << c.name;
    }

    // Without any default handler a plain file cannot be opened.
    ScopedEnvironmentVariable noHandlers("PATH", (root() / "empty").string());
    EXPECT_FALSE(platform::workspace::open(URL::fileURL(document)));
    EXPECT_TRUE(hasNoChildren());
}

TEST_F(WorkspaceTest, WithoutASessionBusTheContainingFoldersAreOpened) {
    fs::path first = root() / "one" / "Demo.app";
    fs::path second = root() / "two" / "Other.app";
    fs::path third = root() / "two" / "Third.app";
    for (const fs::path& p : {first, second, third}) {
        fs::create_directories(p);
    }
    platform::workspace::activateFileViewerSelecting(
        {URL::fileURL(first, true), URL::fileURL(second, true), URL::fileURL(third, true)});
    ASSERT_TRUE(waitForFiles(openedDirectory(), 2));
    EXPECT_EQ(markers(openedDirectory()),
              (std::multiset<std::string>{(root() / "one").string(), (root() / "two").string()}));
    EXPECT_TRUE(hasNoChildren());
}

TEST_F(WorkspaceTest, TheFileBrowserIsAskedOnTheSessionBusFirst) {
    std::optional<std::string> daemon;
    for (const char* candidate : {"/usr/bin/dbus-daemon", "/bin/dbus-daemon"}) {
        if (access(candidate, X_OK) == 0) {
            daemon = candidate;
        }
    }
    if (!daemon || access("/usr/bin/gdbus", X_OK) != 0) {
        GTEST_SKIP() << "dbus-daemon and gdbus are needed";
    }
    // A private bus on which the file browser's name is activatable: asking
    // for it runs a program that notes the activation and leaves without
    // answering, so the request fails and the folder is opened instead.
    const fs::path activated = root() / "activated";
    fs::create_directories(activated);
    writeExecutable(root() / "file-browser",
                    "#!/bin/sh\ntouch \"" + activated.string() + "/browser.done\"\nexit 1\n");
    fs::create_directories(root() / "services");
    std::ofstream(root() / "services/org.freedesktop.FileManager1.service")
        << "[D-BUS Service]\nName=org.freedesktop.FileManager1\nExec="
        << (root() / "file-browser").string() << "\n";
    std::ofstream(root() / "bus.conf")
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>session</type><listen>unix:dir="
        << root().string() << "</listen><auth>EXTERNAL</auth><servicedir>"
        << (root() / "services").string()
        << "</servicedir><policy context=\"default\"><allow send_destination=\"*\"/>"
           "<allow eavesdrop=\"true\"/>"
           "<allow own=\"*\"/></policy></busconfig>\n";
    testsupport::ChildProcess bus({*daemon, "--config-file=" + (root() / "bus.conf").string(),
                                   "--nofork", "--print-address=1"});
    std::optional<std::string> address = bus.readLine();
    ASSERT_TRUE(address);
    ScopedEnvironmentVariable useBus("DBUS_SESSION_BUS_ADDRESS", *address);

    fs::path item = root() / "three" / "Demo.app";
    fs::create_directories(item);
    platform::workspace::activateFileViewerSelecting({URL::fileURL(item, true)});
    EXPECT_TRUE(fs::exists(activated / "browser.done"));
    ASSERT_TRUE(waitForFiles(openedDirectory(), 1));
    EXPECT_EQ(markers(openedDirectory()),
              (std::multiset<std::string>{(root() / "three").string()}));
}

}  // namespace
