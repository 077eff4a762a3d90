// The install flow against a recording window, the real local HTTPS server,
// the real unzip and an applications folder of the test's own: one row per
// way a run can end.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "installer/engine/InstallEngine.h"
#include "tests/installer/FakeInstallView.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Environment.h"
#include "tests/support/HttpsServer.h"
#include "tests/support/TemporaryDirectory.h"

namespace {

namespace fs = std::filesystem;
using installertest::FakeInstallView;

void writeFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void run(const std::vector<std::string>& argv) {
    auto result = testsupport::runProgram(argv);
    ASSERT_EQ(result.status, 0) << argv.back();
}

// Sample.app of a version: an executable, a resource naming the version and
// a link inside the bundle.
fs::path makeApp(const fs::path& folder, const std::string& version) {
    const auto app = folder / "Sample.app";
    writeFile(app / "Contents" / "Info.plist",
              "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleExecutable</key>"
              "<string>Sample</string></dict></plist>");
    writeFile(app / "Contents" / "MacOS" / "Sample", "#!/bin/sh\n");
    fs::permissions(app / "Contents" / "MacOS" / "Sample", fs::perms::owner_all);
    writeFile(app / "Contents" / "Resources" / "version", version);
    fs::create_directory_symlink("Resources", app / "Contents" / "Current");
    return app;
}

std::string zipOf(const fs::path& folder, const std::string& entry, const fs::path& archive) {
    fs::create_directories(archive.parent_path());
    run({"sh", "-c",
         "cd '" + folder.string() + "' && zip -q -r -y '" + archive.string() + "' '" + entry +
             "'"});
    return readFile(archive);
}

std::string onPath(const std::string& name) {
    std::string path = std::getenv("PATH");
    for (std::size_t start = 0, end; start <= path.size(); start = end + 1) {
        end = std::min(path.find(':', start), path.size());
        fs::path candidate = fs::path(path.substr(start, end - start)) / name;
        if (fs::exists(candidate)) {
            return candidate.string();
        }
    }
    return name;
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

// A manifest offering one build for both kinds of machine.
std::string build(const std::string& path, const std::string& url, const std::string& kind) {
    const auto entry = R"({"path": ")" + path + R"(", "url": ")" + url + R"("})";
    return R"({"version": "2.0", "createdAt": "2024-06-01T12:00:00Z", "artifacts": {")" + kind +
           R"(": {"x64": )" + entry + R"(, "arm64": )" + entry + "}}}";
}

std::string zipBuild(const std::string& name) {
    return build(name, "{server}/files/" + name, "zip");
}

enum class Setup {
    none,
    oldCopyInstalled,
    oldCopyOnReadOnlyApplications,
    noApplicationsFolder,
    workingDirectoryUnderAFile,
    noServer,
    manifestNeverAnswers,
    openRefused,
    launchRefused,
    outOfMemoryWhenDownloading,
};

struct Row {
    const char* name;
    std::optional<std::string> productID;
    std::string manifest;  // served at /<productID>/cv-latest-mac.json
    Setup setup;
    // After the first line, which names the working directory. Placeholders:
    // {work} the working directory, {apps} the applications folder, {url}
    // the manifest URL, {server} the server, {unzip} unzip's path.
    std::vector<std::string> log;
    // "<any>" at the end of an event stands for any text that is not empty.
    std::vector<std::string> events;
};

const std::string manifestLine = "Manifest URL is: {url}";
const std::string downloading = "status Downloading version 2.0…";
const std::string uncompressing = "status Uncompressing…";

std::string unzipFailure(const std::string& name, const std::string& status) {
    return "alert critical|Error uncompresing {work}/" + name + "|Command '{unzip} -q -o {work}/" +
           name + " -d {work}' finished with exit code " + status + ".|Ok";
}

const std::vector<std::string> installLog = {manifestLine,  "{work}/Sample.zip",         "2",
                                             "prevAppPath", "file://{work}/Sample.app/", "appName",
                                             "Sample.app"};

std::vector<std::string> plus(std::vector<std::string> lines,
                              const std::vector<std::string>& more) {
    lines.insert(lines.end(), more.begin(), more.end());
    return lines;
}

const std::vector<std::string> installEvents = {"icon",
                                                downloading,
                                                uncompressing,
                                                "status Installing to Applications…",
                                                "status Installed!",
                                                "later 250"};

const Row rows[] = {
    {"product identifier absent",
     std::nullopt,
     "",
     Setup::none,
     {"in main thread", "Cleaning up"},
     {"alert critical|Corvantis ID is incorrect|The value in the plist file is not a string.|Ok",
      "exit 1"}},
    {"identifier that makes no URL",
     "two words",
     "",
     Setup::none,
     {"in main thread", "Cleaning up"},
     {"icon",
      "alert critical|Corvantis ID is incorrect|The manifest location {url} made from it is not "
      "a valid URL.|Ok",
      "exit 1"}},
    {"manifest server unreachable",
     "good",
     "",
     Setup::noServer,
     {manifestLine, "Cleaning up"},
     {"icon", "alert critical|Error downloading manifest from {url}|<any>", "exit 1"}},
    {"manifest missing",
     "missing",
     "",
     Setup::none,
     {manifestLine, "Cleaning up"},
     {"icon",
      "alert critical|Error downloading manifest|Server returned HTTP status code 404 from "
      "{url}|Ok",
      "exit 1"}},
    {"manifest answered with 204",
     "_status/204?",
     "",
     Setup::none,
     {manifestLine, "Cleaning up"},
     {"icon",
      "alert critical|Error downloading manifest|Server returned HTTP status code 204 from "
      "{url}|Ok",
      "exit 1"}},
    {"redirect to a missing manifest",
     "_redirect?to=/missing/cv-latest-mac.json&from=",
     "",
     Setup::none,
     {manifestLine, "Cleaning up"},
     {"icon",
      "alert critical|Error downloading manifest|Server returned HTTP status code 404 from "
      "{url}|Ok",
      "exit 1"}},
    {"manifest that is not JSON",
     "notjson",
     "this is not JSON {",
     Setup::none,
     {manifestLine, "Cleaning up"},
     {"icon", "alert critical|Error decoding manifest JSON|<any>", "exit 1"}},
    {"no build for this machine",
     "armonly",
     R"({"version": "1", "createdAt": "2024-06-01T12:00:00Z", "artifacts": {"zip": {"arm64": {"path": "a.zip", "url": "{server}/files/a.zip"}}, "dmg": {"x64": {"path": "b.dmg", "url": "{server}/files/b.dmg"}}}})",
     Setup::none,
     {manifestLine, "Cleaning up"},
     {"icon",
      "alert critical|No suitable download in manifest|The manifest from {url} offers no build "
      "with a url and a path for this machine (x86_64).|Ok",
      "exit 1"}},
    {"out of memory in a step",
     "sample",
     zipBuild("Sample.zip"),
     Setup::outOfMemoryWhenDownloading,
     {manifestLine, "Cleaning up"},
     {"icon",
      "alert critical|Error downloading manifest from {url}|There was not enough memory to go "
      "on.|Ok",
      "exit 1"}},
    {"working directory that cannot be made",
     "sample",
     zipBuild("Sample.zip"),
     Setup::workingDirectoryUnderAFile,
     {manifestLine, "Cleaning up"},
     {"icon", downloading,
      "alert critical|Error creating directory {work}|Could not create directory '{work}': Not "
      "a directory|Ok",
      "exit 1"}},
    {"download address that does not parse",
     "badurl",
     build("Sample.zip", "not a url", "zip"),
     Setup::none,
     {manifestLine, "Cleaning up"},
     {"icon", downloading,
      "alert critical|Error downloading file|The download address \"not a url\" is not a valid "
      "URL.|Ok",
      "exit 1"}},
    {"connection cut during the download",
     "cut",
     build("Sample.zip", "{server}/_cut/files/Sample.zip", "zip"),
     Setup::none,
     {manifestLine, "Error downloading file from {server}/_cut/files/Sample.zip", "Cleaning up"},
     {"icon", downloading, "alert critical|Error downloading file|<any>", "exit 1"}},
    {"path with a folder that does not exist",
     "nested",
     build("sub/Sample.zip", "{server}/files/Sample.zip", "zip"),
     Setup::none,
     {manifestLine, "Cleaning up"},
     {"icon", downloading,
      "alert critical|Error writing to {work}/sub/Sample.zip|Could not open "
      "'{work}/sub/Sample.zip': No such file or directory|Ok",
      "exit 1"}},
    {"error page instead of a zip",
     "notzip",
     build("Broken.zip", "{server}/nothing", "zip"),
     Setup::none,
     {manifestLine, "{work}/Broken.zip", "Cleaning up"},
     {"icon", downloading, uncompressing, unzipFailure("Broken.zip", "9"), "exit 1"}},
    {"empty body",
     "empty",
     zipBuild("Empty.zip"),
     Setup::none,
     {manifestLine, "{work}/Empty.zip", "Cleaning up"},
     {"icon", downloading, uncompressing, unzipFailure("Empty.zip", "9"), "exit 1"}},
    {"unzip writing more than a pipe holds",
     "noisy",
     zipBuild("Noisy.zip"),
     Setup::none,
     {manifestLine, "{work}/Noisy.zip", "Cleaning up"},
     {"icon", downloading, uncompressing, unzipFailure("Noisy.zip", "{noisy}"), "exit 1"}},
    {"bundle inside a folder",
     "folder",
     zipBuild("Folder.zip"),
     Setup::none,
     {manifestLine, "{work}/Folder.zip", "2", "Cleaning up"},
     {"icon", downloading, uncompressing,
      "alert critical|No application in the download|Nothing at the top level of {work} has a "
      "name containing \".app\", so there is nothing to install.|Ok",
      "exit 1"}},
    {"disk image opened",
     "disk",
     build("Sample.dmg", "{server}/files/Sample.dmg", "dmg"),
     Setup::none,
     {manifestLine, "Cleaning up"},
     {"icon", downloading, "status Opening DMG Image…", "open {work}/Sample.dmg", "quit"}},
    {"disk image nobody opens",
     "disk",
     build("Sample.dmg", "{server}/files/Sample.dmg", "dmg"),
     Setup::openRefused,
     {manifestLine},
     {"icon", downloading, "status Opening DMG Image…", "open {work}/Sample.dmg", "window stays"}},
    {"redirect to a manifest",
     "_redirect?to=/disk/cv-latest-mac.json&from=",
     "",
     Setup::none,
     {manifestLine, "Cleaning up"},
     {"icon", downloading, "status Opening DMG Image…", "open {work}/Sample.dmg", "quit"}},
    {"fresh install", "sample", zipBuild("Sample.zip"), Setup::none,
     plus(installLog, {"Cleaning up"}), plus(installEvents, {"launch {apps}/Sample.app", "quit"})},
    {"older copy replaced", "sample", zipBuild("Sample.zip"), Setup::oldCopyInstalled,
     plus(installLog, {"Cleaning up"}), plus(installEvents, {"launch {apps}/Sample.app", "quit"})},
    {"launch refused", "sample", zipBuild("Sample.zip"), Setup::launchRefused, installLog,
     plus(installEvents, {"launch {apps}/Sample.app", "window stays"})},
    {"replacement fails",
     "sample",
     zipBuild("Sample.zip"),
     Setup::oldCopyOnReadOnlyApplications,
     plus(installLog, {"Cleaning up"}),
     {"icon", downloading, uncompressing, "status Installing to Applications…",
      "alert critical|Error replacing existing application|<any>", "exit 1"}},
    {"move fails: manual hand-over",
     "sample",
     zipBuild("Sample.zip"),
     Setup::noApplicationsFolder,
     installLog,
     {"icon", downloading, uncompressing, "status Installing to Applications…",
      "alert warning|You will need to manually move Sample to Applications folder.|We will "
      "reveal Sample.app in Finder. You can then manually drag the application to the "
      "Applications folder yourself.\n\nInternal code: 2|Reveal in Finder",
      "reveal {work}/Sample.app", "exit 0"}},
};

class InstallEngineTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        certificates_ = new testsupport::TemporaryDirectory("engine-certificates");
        testsupport::makeTestCertificates(certificates_->path());
        setenv("SSL_CERT_FILE", (certificates_->path() / "ca.pem").c_str(), 1);
        root_ = new testsupport::TemporaryDirectory("engine-server");
        const auto& files = root_->path() / "files";
        testsupport::TemporaryDirectory making("engine-archives");
        makeApp(making.path() / "Release", "2.0");
        zipOf(making.path() / "Release", "Sample.app", files / "Sample.zip");
        zipOf(making.path(), "Release", files / "Folder.zip");
        writeFile(files / "Empty.zip", "");
        writeFile(files / "Sample.dmg", "not really a disk image");
        // Each absolute entry name makes unzip warn once, naming it in full.
        run({"python3", "-c",
             "import sys, zipfile\n"
             "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
             "    for i in range(400): z.writestr('/' + '/'.join(['d' * 200] * 15) + "
             "'/file-%d' % i, 'x')\n",
             (files / "Noisy.zip").string()});
        noisyStatus_ =
            testsupport::runProgram({"sh", "-c",
                                     "unzip -q -o '" + (files / "Noisy.zip").string() + "' -d '" +
                                         making.path().string() + "/noisy' >/dev/null 2>&1"})
                .status;
        server_ = new testsupport::HttpsServer(root_->path(), certificates_->path());
    }
    static void TearDownTestSuite() {
        delete server_;
        delete root_;
        delete certificates_;
    }

    static testsupport::TemporaryDirectory* certificates_;
    static testsupport::TemporaryDirectory* root_;
    static testsupport::HttpsServer* server_;
    static int noisyStatus_;
};

testsupport::TemporaryDirectory* InstallEngineTest::certificates_ = nullptr;
testsupport::TemporaryDirectory* InstallEngineTest::root_ = nullptr;
testsupport::HttpsServer* InstallEngineTest::server_ = nullptr;
int InstallEngineTest::noisyStatus_ = 0;

// A read-only file system at folder holding a copy of app; false outside a
// mount namespace of the test's own (the test then runs without the row).
bool mountReadOnlyWith(const fs::path& folder, const fs::path& app) {
    std::error_code error;
    if (fs::read_symlink("/proc/self/ns/mnt", error) ==
            fs::read_symlink("/proc/" + std::to_string(::getppid()) + "/ns/mnt", error) ||
        ::mount("applications", folder.c_str(), "tmpfs", 0, "mode=755") != 0) {
        return false;
    }
    fs::copy(app, folder / app.filename(),
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    return ::mount("applications", folder.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
}

TEST_F(InstallEngineTest, EachWayARunEnds) {
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::TemporaryDirectory scratch("engine-run");
        const auto temporary = scratch.path() / "tmp";
        fs::create_directories(temporary);
        auto work = temporary / "5E2F0C1A-0000-4000-8000-00000000C0DE";
        auto apps = scratch.path() / "Applications";
        fs::create_directories(apps);
        const auto oldApp = makeApp(scratch.path() / "old", "1.0");
        writeFile(oldApp / "Contents" / "only-in-old", "old");

        FakeInstallView view;
        std::optional<testsupport::ScopedEnvironmentVariable> idleTimeout;
        installer::InstallSettings settings;
        settings.manifestTemplate = server_->url("/%@/cv-latest-mac.json");
        settings.hardwareName = "x86_64";
        switch (row.setup) {
            case Setup::oldCopyInstalled:
                fs::copy(oldApp, apps / "Sample.app",
                         fs::copy_options::recursive | fs::copy_options::copy_symlinks);
                break;
            case Setup::oldCopyOnReadOnlyApplications:
                if (!mountReadOnlyWith(apps, oldApp)) {
                    std::cerr << "skipped: cannot mount here\n";
                    continue;
                }
                break;
            case Setup::noApplicationsFolder:
                fs::remove(apps);
                break;
            case Setup::workingDirectoryUnderAFile:
                writeFile(temporary / "file", "");
                work = temporary / "file" / work.filename();
                break;
            case Setup::noServer:
                settings.manifestTemplate = "https://127.0.0.1:1/%@/cv-latest-mac.json";
                break;
            case Setup::manifestNeverAnswers:
                idleTimeout.emplace("CORVANTIS_TEST_HTTP_IDLE_TIMEOUT_MS", "1500");
                break;
            case Setup::openRefused:
                view.openAccepted = false;
                break;
            case Setup::launchRefused:
                view.launchAccepted = false;
                break;
            case Setup::outOfMemoryWhenDownloading:
                view.beforeStatus = [](const std::string& text) {
                    if (text.starts_with("Downloading")) {
                        throw std::bad_alloc();
                    }
                };
                break;
            case Setup::none:
                break;
        }
        settings.applicationsFolder = apps;
        settings.workingDirectory = [work] { return work; };
        std::mutex logMutex;
        std::vector<std::string> log;
        settings.writeLog = [&](std::string_view line) {
            std::lock_guard lock(logMutex);
            log.emplace_back(line);
        };
        const auto fill = [&](std::string text) {
            replaceAll(text, "{url}",
                       "{server}/" + row.productID.value_or("") + "/cv-latest-mac.json");
            replaceAll(text, "{server}",
                       row.setup == Setup::noServer ? "https://127.0.0.1:1" : server_->url(""));
            replaceAll(text, "{work}", work.string());
            replaceAll(text, "{apps}", apps.string());
            replaceAll(text, "{unzip}", onPath("unzip"));
            replaceAll(text, "{noisy}", std::to_string(noisyStatus_));
            return text;
        };
        if (!row.manifest.empty()) {
            writeFile(root_->path() / *row.productID / "cv-latest-mac.json", fill(row.manifest));
        }

        {
            installer::InstallEngine engine(view, settings);
            engine.start(row.productID);
            view.waitForEnd();
        }

        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.front(), "Temporary directory is:  file://" + work.string() + "/");
        std::vector<std::string> expectedLog;
        for (const auto& line : row.log) {
            expectedLog.push_back(fill(line));
        }
        EXPECT_EQ(std::vector<std::string>(log.begin() + 1, log.end()), expectedLog);

        auto events = view.events();
        ASSERT_EQ(events.size(), row.events.size()) << ::testing::PrintToString(events);
        for (std::size_t index = 0; index < events.size(); ++index) {
            auto expected = fill(row.events[index]);
            if (expected.ends_with("<any>")) {
                expected.erase(expected.size() - 5);
                EXPECT_TRUE(events[index].starts_with(expected) &&
                            events[index].size() > expected.size() + 3)
                    << events[index];
            } else {
                EXPECT_EQ(events[index], expected);
            }
        }

        // What is left on disk.
        const bool ended =
            view.events().back().starts_with("exit 1") || view.events().back() == "quit";
        EXPECT_EQ(fs::exists(work), !ended);
        switch (row.setup) {
            case Setup::none:
            case Setup::oldCopyInstalled:
                if (fs::exists(apps / "Sample.app")) {
                    EXPECT_EQ(readFile(apps / "Sample.app" / "Contents" / "Resources" / "version"),
                              "2.0");
                    EXPECT_FALSE(fs::exists(apps / "Sample.app" / "Contents" / "only-in-old"));
                    EXPECT_TRUE(fs::is_symlink(apps / "Sample.app" / "Contents" / "Current"));
                    EXPECT_EQ(std::distance(fs::directory_iterator(apps), {}), 1);
                }
                break;
            case Setup::oldCopyOnReadOnlyApplications:
                EXPECT_EQ(readFile(apps / "Sample.app" / "Contents" / "only-in-old"), "old");
                ::umount(apps.c_str());
                break;
            case Setup::noApplicationsFolder:
                EXPECT_EQ(fs::read_symlink(work / "Applications"), apps);
                EXPECT_FALSE(fs::exists(work / "Sample.zip"));
                EXPECT_EQ(readFile(work / "Sample.app" / "Contents" / "Resources" / "version"),
                          "2.0");
                break;
            case Setup::openRefused:
                EXPECT_EQ(readFile(work / "Sample.dmg"), "not really a disk image");
                break;
            default:
                break;
        }
    }
}

// The bar covers the download from 3 to 93, then 95, 98 and 100 while
// installing; the window sees the values in the order they were set.
TEST_F(InstallEngineTest, ProgressMovesOnlyForward) {
    testsupport::TemporaryDirectory scratch("engine-progress");
    writeFile(
        root_->path() / "slow" / "cv-latest-mac.json",
        build("Sample.zip", server_->url("/_slow/files/Sample.zip?pieces=8&pause=0.05"), "zip"));
    FakeInstallView view;
    installer::InstallSettings settings;
    settings.manifestTemplate = server_->url("/%@/cv-latest-mac.json");
    settings.applicationsFolder = scratch.path();
    settings.workingDirectory = [&] { return scratch.path() / "work"; };
    settings.writeLog = [](std::string_view) {};
    {
        installer::InstallEngine engine(view, settings);
        engine.start("slow");
        EXPECT_EQ(view.waitForEnd(), "quit");
    }
    auto values = view.progressValues();
    ASSERT_GE(values.size(), 5u);
    EXPECT_EQ(values.front(), 3);
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end())) << ::testing::PrintToString(values);
    EXPECT_EQ(std::vector<double>(values.end() - 4, values.end()),
              (std::vector<double>{93, 95, 98, 100}));
    EXPECT_GT(std::count_if(values.begin(), values.end(), [](double v) { return v > 3 && v < 93; }),
              0);
}

}  // namespace
