// The install flow against a recording window, the real local HTTPS server,
// the real unzip and an applications folder of the test's own: one row per
// way a run can end.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <new>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "installer/engine/InstallEngine.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Environment.h"
#include "tests/support/HttpsServer.h"
#include "tests/support/TemporaryDirectory.h"

namespace {

namespace fs = std::filesystem;

// A window that records what the flow shows and hands off, one line per
// event. The thread that makes it is the main thread; main-thread work from
// other threads runs on the calling thread, one item at a time. Alerts are
// dismissed at once; exitProcess throws RunEnded.
class RecordingView : public installer::InstallView {
  public:
    bool openAccepted = true;
    bool launchAccepted = true;
    std::function<void(const std::string& text)> beforeStatus;  // may throw

    std::vector<std::string> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::vector<double> progress() const {
        std::lock_guard lock(mutex_);
        return progress_;
    }
    void waitForEnd() {
        std::unique_lock lock(mutex_);
        // Bounds only a run that went wrong.
        ASSERT_TRUE(ended_.wait_for(lock, std::chrono::seconds(90), [this] { return hasEnded_; }));
    }

    bool isMainThread() const override { return std::this_thread::get_id() == mainThread_; }
    void runOnMainThread(const std::function<void()>& work) override {
        std::lock_guard lock(mainThreadWork_);
        work();
    }
    void showStatus(const std::string& text) override {
        if (beforeStatus) {
            beforeStatus(text);
        }
        record("status " + text);
    }
    void showProgress(double value) override {
        std::lock_guard lock(mutex_);
        progress_.push_back(value);
    }
    void showIcon() override { record("icon"); }
    int runAlert(const installer::Alert& alert) override {
        std::string buttons;
        for (const auto& button : alert.buttons) {
            buttons += (buttons.empty() ? "" : ",") + button;
        }
        record(std::string("alert ") +
               (alert.style == installer::AlertStyle::critical ? "critical|" : "warning|") +
               alert.messageText + "|" + alert.informativeText + "|" + buttons);
        return 0;
    }
    void runLater(std::chrono::milliseconds delay, std::function<void()> work) override {
        record("later " + std::to_string(delay.count()));
        work();
    }
    void quit() override { record("quit", true); }
    void endWhenWindowCloses() override { record("window stays", true); }
    bool openFile(const fs::path& file) override {
        record("open " + file.string());
        return openAccepted;
    }
    bool launchApplication(const fs::path& bundle) override {
        record("launch " + bundle.string());
        return launchAccepted;
    }
    void revealInFileViewer(const fs::path& item) override { record("reveal " + item.string()); }
    [[noreturn]] void exitProcess(int status) override {
        record("exit " + std::to_string(status), true);
        throw installer::RunEnded{status};
    }

  private:
    void record(std::string event, bool ends = false) {
        {
            std::lock_guard lock(mutex_);
            events_.push_back(std::move(event));
            hasEnded_ = hasEnded_ || ends;
        }
        ended_.notify_all();
    }

    const std::thread::id mainThread_ = std::this_thread::get_id();
    std::recursive_mutex mainThreadWork_;
    mutable std::mutex mutex_;
    std::condition_variable ended_;
    bool hasEnded_ = false;
    std::vector<std::string> events_;
    std::vector<double> progress_;
};

void writeFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

int shell(const std::string& script) {
    return testsupport::runProgram({"sh", "-c", script}).status;
}

// Sample.app of a version: an executable, a resource naming the version and
// a link inside the bundle.
fs::path makeApp(const fs::path& folder, const std::string& version) {
    const auto app = folder / "Sample.app";
    writeFile(app / "Contents" / "Info.plist", "<plist/>");
    writeFile(app / "Contents" / "MacOS" / "Sample", "#!/bin/sh\n");
    writeFile(app / "Contents" / "Resources" / "version", version);
    fs::create_directory_symlink("Resources", app / "Contents" / "Current");
    return app;
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        result.push_back(line);
    }
    return result;
}

// A manifest offering one build for both kinds of machine; checks are more
// members of its entry.
std::string build(const std::string& path, const std::string& url = "",
                  const std::string& kind = "zip", const std::string& checks = "") {
    const auto entry = R"({"path": ")" + path + R"(", "url": ")" +
                       (url.empty() ? "{server}/files/" + path : url) + "\"" + checks + "}";
    return R"({"version": "2.0", "createdAt": "2024-06-01T12:00:00Z", "artifacts": {")" + kind +
           R"(": {"x64": )" + entry + R"(, "arm64": )" + entry + "}}}";
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
    publicKeyInBundle,
    lowSpeedWindowOfTwoSeconds,
};

// Placeholders: {work} the working directory, {apps} the applications
// folder, {url} the manifest URL, {server} the server, {unzip} unzip's path,
// {noisy} unzip's status for Noisy.zip. "<any>" ending an event stands for
// any text that is not empty.
struct Row {
    const char* name;
    std::optional<std::string> productID;
    std::string manifest;  // served at /<productID>/cv-latest-mac.json
    Setup setup;
    std::string log;  // the lines after the working directory's
    std::vector<std::string> events;
};

const std::string manifestLine = "Manifest URL is: {url}\n";
const std::string installLog = manifestLine +
                               "{work}/Sample.zip\n2\nprevAppPath\nfile://{work}/Sample.app/\n"
                               "appName\nSample.app\n";
const char* const downloading = "status Downloading version 2.0…";
const char* const uncompressing = "status Uncompressing…";
const char* const installing = "status Installing to Applications…";
const char* const dmgOpening = "status Opening DMG Image…";

std::string critical(const std::string& title, const std::string& message) {
    return "alert critical|" + title + "|" + message + (message == "<any>" ? "" : "|Ok");
}

std::string unzipFailure(const std::string& name, const std::string& status) {
    return critical("Error uncompresing {work}/" + name,
                    "Command '{unzip} -q -o {work}/" + name +
                        " -d {work}' finished with exit code " + status + ".");
}

const Row rows[] = {
    {"product identifier absent",
     std::nullopt,
     "",
     Setup::none,
     "in main thread\nCleaning up",
     {critical("Corvantis ID is incorrect", "The value in the plist file is not a string."),
      "exit 1"}},
    {"identifier that makes no URL",
     "two words",
     "",
     Setup::none,
     "in main thread\nCleaning up",
     {"icon",
      critical("Corvantis ID is incorrect",
               "The manifest location {url} made from it is not a valid URL."),
      "exit 1"}},
    {"manifest server unreachable",
     "good",
     "",
     Setup::noServer,
     manifestLine + "Cleaning up",
     {"icon", critical("Error downloading manifest from {url}", "<any>"), "exit 1"}},
    {"manifest server never answers",
     "_hang?",
     "",
     Setup::manifestNeverAnswers,
     manifestLine + "Cleaning up",
     {"icon", critical("Error downloading manifest from {url}", "<any>"), "exit 1"}},
    {"manifest missing",
     "missing",
     "",
     Setup::none,
     manifestLine + "Cleaning up",
     {"icon",
      critical("Error downloading manifest", "Server returned HTTP status code 404 from {url}"),
      "exit 1"}},
    {"manifest answered with 204",
     "_status/204?",
     "",
     Setup::none,
     manifestLine + "Cleaning up",
     {"icon",
      critical("Error downloading manifest", "Server returned HTTP status code 204 from {url}"),
      "exit 1"}},
    {"redirect to a missing manifest",
     "_redirect?to=/missing/cv-latest-mac.json&from=",
     "",
     Setup::none,
     manifestLine + "Cleaning up",
     {"icon",
      critical("Error downloading manifest", "Server returned HTTP status code 404 from {url}"),
      "exit 1"}},
    {"manifest that is not JSON",
     "notjson",
     "this is not JSON {",
     Setup::none,
     manifestLine + "Cleaning up",
     {"icon", critical("Error decoding manifest JSON", "<any>"), "exit 1"}},
    {"no build for this machine",
     "armonly",
     R"({"version": "1", "createdAt": "2024-06-01T12:00:00Z", "artifacts": {"zip": {"arm64":
        {"path": "a.zip", "url": "{server}/a.zip"}}, "dmg": {"x64": {"path": "b", "url": "{server}/b"}}}})",
     Setup::none,
     manifestLine + "Cleaning up",
     {"icon",
      critical("No suitable download in manifest",
               "The manifest from {url} offers no build with a url and a path for this machine "
               "(x86_64)."),
      "exit 1"}},
    {"out of memory in a step",
     "sample",
     build("Sample.zip"),
     Setup::outOfMemoryWhenDownloading,
     manifestLine + "Cleaning up",
     {"icon",
      critical("Error downloading manifest from {url}", "There was not enough memory to go on."),
      "exit 1"}},
    {"working directory that cannot be made",
     "sample",
     build("Sample.zip"),
     Setup::workingDirectoryUnderAFile,
     manifestLine + "Cleaning up",
     {"icon", downloading,
      critical("Error creating directory {work}",
               "Could not create directory '{work}': Not a directory"),
      "exit 1"}},
    {"download address that does not parse",
     "badurl",
     build("Sample.zip", "not a url"),
     Setup::none,
     manifestLine + "Cleaning up",
     {"icon", downloading,
      critical("Error downloading file", "The download address \"not a url\" is not a valid URL."),
      "exit 1"}},
    {"connection cut during the download",
     "cut",
     build("Sample.zip", "{server}/_cut/files/Sample.zip"),
     Setup::none,
     manifestLine + "Error downloading file from {server}/_cut/files/Sample.zip\nCleaning up",
     {"icon", downloading, critical("Error downloading file", "<any>"), "exit 1"}},
    {"path with a folder that does not exist",
     "nested",
     build("sub/Sample.zip", "{server}/files/Sample.zip"),
     Setup::none,
     manifestLine + "Cleaning up",
     {"icon", downloading,
      critical("Error writing to {work}/sub/Sample.zip",
               "Could not write '{work}/sub/Sample.zip': No such file or directory"),
      "exit 1"}},
    {"error page instead of a zip",
     "notzip",
     build("Broken.zip", "{server}/nothing"),
     Setup::none,
     manifestLine + "{work}/Broken.zip\nCleaning up",
     {"icon", downloading, uncompressing, unzipFailure("Broken.zip", "9"), "exit 1"}},
    {"empty body",
     "empty",
     build("Empty.zip"),
     Setup::none,
     manifestLine + "{work}/Empty.zip\nCleaning up",
     {"icon", downloading, uncompressing, unzipFailure("Empty.zip", "9"), "exit 1"}},
    {"unzip writing more than a pipe holds",
     "noisy",
     build("Noisy.zip"),
     Setup::none,
     manifestLine + "{work}/Noisy.zip\nCleaning up",
     {"icon", downloading, uncompressing, unzipFailure("Noisy.zip", "{noisy}"), "exit 1"}},
    {"bundle inside a folder",
     "folder",
     build("Folder.zip"),
     Setup::none,
     manifestLine + "{work}/Folder.zip\n2\nCleaning up",
     {"icon", downloading, uncompressing,
      critical("No application in the download",
               "Nothing at the top level of {work} has a name containing \".app\", so there is "
               "nothing to install."),
      "exit 1"}},
    {"disk image opened",
     "disk",
     build("Sample.dmg", "", "dmg"),
     Setup::none,
     manifestLine + "Disk image moved to: {downloads}/Sample.dmg\nCleaning up",
     {"icon", downloading, dmgOpening, "open {downloads}/Sample.dmg", "quit"}},
    {"disk image nobody opens, under a name already taken",
     "disk",
     build("Sample.dmg", "", "dmg"),
     Setup::openRefused,
     manifestLine + "Disk image moved to: {downloads}/Sample (1).dmg",
     {"icon", downloading, dmgOpening, "open {downloads}/Sample (1).dmg", "window stays"}},
    {"redirect to a manifest",
     "_redirect?to=/disk/cv-latest-mac.json&from=",
     "",
     Setup::none,
     manifestLine + "Disk image moved to: {downloads}/Sample.dmg\nCleaning up",
     {"icon", downloading, dmgOpening, "open {downloads}/Sample.dmg", "quit"}},
    {"build address in plain HTTP",
     "plain",
     build("Sample.zip", "http://127.0.0.1:1/files/Sample.zip"),
     Setup::none,
     manifestLine + "Error downloading file from http://127.0.0.1:1/files/Sample.zip\nCleaning up",
     {"icon", downloading,
      critical("Error downloading file",
               "A plain-HTTP (non-HTTPS) address was refused: downloads must use HTTPS."),
      "exit 1"}},
    {"path that climbs out of the working directory",
     "climbing",
     build("../Sample.zip", "{server}/files/Sample.zip"),
     Setup::none,
     manifestLine + "Cleaning up",
     {"icon",
      critical("Unsafe path in manifest",
               "The path \"../Sample.zip\" in the manifest contains a \"..\" component; a "
               "build's path must name a file inside the working directory {work}."),
      "exit 1"}},
    {"absolute path",
     "absolute",
     build("/tmp/Sample.zip", "{server}/files/Sample.zip"),
     Setup::none,
     manifestLine + "Cleaning up",
     {"icon", critical("Unsafe path in manifest", "<any>"), "exit 1"}},
    {"manifest too large to read",
     "large",
     "",
     Setup::none,
     manifestLine + "Cleaning up",
     {"icon",
      critical("Error downloading manifest from {url}",
               "The response is too large: it exceeds the limit of 1048576 bytes."),
      "exit 1"}},
    {"build that drips",
     "drip",
     build("Drip.zip", "{server}/_slow/files/Drip.zip?pieces=40&pause=1"),
     Setup::lowSpeedWindowOfTwoSeconds,
     manifestLine + "Error downloading file from {server}/_slow/files/Drip.zip?pieces=40&pause=1\n"
                    "Cleaning up",
     {"icon", downloading, critical("Error downloading file", "<any>"), "exit 1"}},
    {"bundle with a link leading out of it",
     "escaping",
     build("Escaping.zip"),
     Setup::none,
     manifestLine + "{work}/Escaping.zip\n2\nCleaning up",
     {"icon", downloading, uncompressing, installing,
      critical("Unsafe application in archive",
               "The application \"Sample.app\" holds a link \"Contents/Settings\" to \"/etc\", "
               "which points outside it; it was not installed."),
      "exit 1"}},
    {"build whose digest does not match",
     "digest",
     build("Sample.zip", "", "zip", R"(, "sha512": "AAAA")"),
     Setup::none,
     manifestLine + "Cleaning up",
     {"icon", downloading, critical("Error verifying download", "<any>"), "exit 1"}},
    {"unsigned build for a bundle with a public key",
     "unsigned",
     build("Sample.zip"),
     Setup::publicKeyInBundle,
     manifestLine + "Cleaning up",
     {"icon", downloading, critical("Error verifying download", "<any>"), "exit 1"}},
    {"build whose digest matches",
     "checked",
     build("Sample.zip", "", "zip", R"(, "sha512": "{sampleSha512}")"),
     Setup::none,
     installLog + "Cleaning up",
     {"icon", downloading, uncompressing, installing, "status Installed!", "later 250",
      "launch {apps}/Sample.app", "quit"}},
    // Slowly, so that the bar moves.
    {"fresh install",
     "sample",
     build("Sample.zip", "{server}/_slow/files/Sample.zip?pieces=8&pause=0.05"),
     Setup::none,
     installLog + "Cleaning up",
     {"icon", downloading, uncompressing, installing, "status Installed!", "later 250",
      "launch {apps}/Sample.app", "quit"}},
    {"older copy replaced",
     "sample",
     build("Sample.zip"),
     Setup::oldCopyInstalled,
     installLog + "Cleaning up",
     {"icon", downloading, uncompressing, installing, "status Installed!", "later 250",
      "launch {apps}/Sample.app", "quit"}},
    {"launch refused",
     "sample",
     build("Sample.zip"),
     Setup::launchRefused,
     installLog,
     {"icon", downloading, uncompressing, installing, "status Installed!", "later 250",
      "launch {apps}/Sample.app", "window stays"}},
    {"replacement fails",
     "sample",
     build("Sample.zip"),
     Setup::oldCopyOnReadOnlyApplications,
     installLog + "Cleaning up",
     {"icon", downloading, uncompressing, installing,
      critical("Error replacing existing application", "<any>"), "exit 1"}},
    {"move fails: manual hand-over",
     "sample",
     build("Sample.zip"),
     Setup::noApplicationsFolder,
     installLog,
     {"icon", downloading, uncompressing, installing,
      "alert warning|You will need to manually move Sample to Applications folder.|We will "
      "reveal Sample.app in Finder. You can then manually drag the application to the "
      "Applications folder yourself.\n\nInternal code: 2|Reveal in Finder",
      "reveal {work}/Sample.app", "exit 0"}},
};

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

TEST(InstallEngine, EachWayARunEnds) {
    testsupport::TemporaryDirectory certificates, root, making;
    testsupport::makeTestCertificates(certificates.path());
    testsupport::ScopedEnvironmentVariable trust("SSL_CERT_FILE",
                                                 (certificates.path() / "ca.pem").string());
    const auto files = root.path() / "files";
    makeApp(making.path() / "Release", "2.0");
    writeFile(files / "Empty.zip", "");
    writeFile(files / "Sample.dmg", "not really a disk image");
    // Each absolute entry name makes unzip warn once, naming it in full.
    const auto noisy = files / "Noisy.zip";
    ASSERT_EQ(shell("cd '" + making.path().string() + "' && zip -q -r -y '" + files.string() +
                    "/Folder.zip' Release && cd Release && zip -q -r -y '" + files.string() +
                    "/Sample.zip' Sample.app && python3 -c \"import zipfile\nwith "
                    "zipfile.ZipFile('" +
                    noisy.string() +
                    "', 'w') as z:\n    for i in range(400): z.writestr('/' + '/'.join(['d' * "
                    "200] * 15) + '/file-%d' % i, 'x')\""),
              0);
    const auto noisyStatus = shell("unzip -q -o '" + noisy.string() + "' -d '" +
                                   making.path().string() + "/noisy' >/dev/null 2>&1");
    const auto unzip = testsupport::runProgram({"sh", "-c", "command -v unzip"}).output;
    const auto sampleSha512 =
        testsupport::runProgram(
            {"sh", "-c",
             "openssl dgst -sha512 -binary '" + (files / "Sample.zip").string() + "' | base64 -w0"})
            .output;
    // A bundle holding a link to a folder outside it.
    const auto escaping = making.path() / "Escaping";
    fs::copy(making.path() / "Release", escaping,
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    fs::create_directory_symlink("/etc", escaping / "Sample.app" / "Contents" / "Settings");
    ASSERT_EQ(shell("cd '" + escaping.string() + "' && zip -q -r -y '" + files.string() +
                    "/Escaping.zip' Sample.app"),
              0);
    writeFile(files / "Drip.zip", std::string(40, 'x'));
    writeFile(root.path() / "large" / "cv-latest-mac.json", std::string((1 << 20) + 1, ' '));
    testsupport::HttpsServer server(root.path(), certificates.path());

    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::TemporaryDirectory scratch("engine-run");
        auto work = scratch.path() / "tmp" / "5E2F0C1A-0000-4000-8000-00000000C0DE";
        const auto apps = scratch.path() / "Applications";
        const auto downloads = scratch.path() / "Downloads";
        fs::create_directories(apps);
        const auto oldApp = makeApp(scratch.path() / "old", "1.0");
        writeFile(oldApp / "Contents" / "only-in-old", "old");

        RecordingView view;
        std::optional<testsupport::ScopedEnvironmentVariable> idleTimeout;
        installer::InstallSettings settings;
        settings.manifestTemplate = server.url("/%@/cv-latest-mac.json");
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
                writeFile(work.parent_path() / "file", "");
                work = work.parent_path() / "file" / work.filename();
                break;
            case Setup::noServer:
                settings.manifestTemplate = "https://127.0.0.1:1/%@/cv-latest-mac.json";
                break;
            case Setup::manifestNeverAnswers:
                idleTimeout.emplace("CORVANTIS_TEST_HTTP_IDLE_TIMEOUT_MS", "1500");
                break;
            case Setup::openRefused:
                view.openAccepted = false;
                writeFile(downloads / "Sample.dmg", "the user's own");
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
            case Setup::publicKeyInBundle:
                // The public key of the first published Ed25519 test vector.
                settings.publicKey = installer::PublicKeySetting::ofString(
                    "11qYAYKxCrfVS/7TyWQHOg7hcvPaYiMlrwIaaPcHURo=");
                break;
            case Setup::lowSpeedWindowOfTwoSeconds:
                idleTimeout.emplace("CORVANTIS_TEST_HTTP_LOW_SPEED_WINDOW_S", "2");
                break;
            case Setup::none:
                break;
        }
        settings.applicationsFolder = apps;
        settings.workingDirectory = [work] { return work; };
        settings.downloadFolder = [downloads] { return downloads; };
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
                       row.setup == Setup::noServer ? "https://127.0.0.1:1" : server.url(""));
            replaceAll(text, "{work}", work.string());
            replaceAll(text, "{apps}", apps.string());
            replaceAll(text, "{downloads}", downloads.string());
            replaceAll(text, "{unzip}", unzip.substr(0, unzip.find('\n')));
            replaceAll(text, "{noisy}", std::to_string(noisyStatus));
            replaceAll(text, "{sampleSha512}", sampleSha512);
            return text;
        };
        if (!row.manifest.empty()) {
            writeFile(root.path() / *row.productID / "cv-latest-mac.json", fill(row.manifest));
        }

        {
            installer::InstallEngine engine(view, settings);
            engine.start(row.productID);
            view.waitForEnd();
        }

        EXPECT_EQ(log.at(0), "Temporary directory is:  file://" + work.string() + "/");
        EXPECT_EQ(std::vector<std::string>(log.begin() + 1, log.end()), lines(fill(row.log)));
        const auto events = view.events();
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

        // What is left: the working directory goes with every end but the
        // hand-over and a refusal; an install leaves the new copy alone.
        EXPECT_EQ(fs::exists(work), events.back() != "quit" && events.back() != "exit 1");
        const auto installed = apps / "Sample.app" / "Contents";
        if (events.back() == "quit" && row.manifest.find(".zip") != std::string::npos) {
            EXPECT_EQ(testsupport::contentOf(installed / "Resources" / "version"), "2.0");
            EXPECT_FALSE(fs::exists(installed / "only-in-old"));
            EXPECT_TRUE(fs::is_symlink(installed / "Current"));
            EXPECT_EQ(std::distance(fs::directory_iterator(apps), {}), 1);
            // The bar covers the download from 3 to 93, then 95, 98 and 100.
            const auto values = view.progress();
            EXPECT_EQ(values.front(), 3);
            EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
            EXPECT_EQ(std::vector<double>(values.end() - 4, values.end()),
                      (std::vector<double>{93, 95, 98, 100}));
        }
        switch (row.setup) {
            case Setup::none:
                if (row.name == std::string("fresh install")) {
                    const auto values = view.progress();
                    EXPECT_TRUE(std::any_of(values.begin(), values.end(),
                                            [](double v) { return v > 3 && v < 93; }));
                }
                break;
            case Setup::oldCopyOnReadOnlyApplications:
                EXPECT_EQ(testsupport::contentOf(installed / "only-in-old"), "old");
                ::umount(apps.c_str());
                break;
            case Setup::noApplicationsFolder:
                EXPECT_EQ(fs::read_symlink(work / "Applications"), apps);
                EXPECT_FALSE(fs::exists(work / "Sample.zip"));
                EXPECT_EQ(testsupport::contentOf(work / "Sample.app" / "Contents" / "Resources" /
                                                 "version"),
                          "2.0");
                break;
            case Setup::openRefused:
                EXPECT_EQ(testsupport::contentOf(downloads / "Sample (1).dmg"),
                          "not really a disk image");
                EXPECT_EQ(testsupport::contentOf(downloads / "Sample.dmg"), "the user's own");
                break;
            default:
                break;
        }
    }
}

}  // namespace
