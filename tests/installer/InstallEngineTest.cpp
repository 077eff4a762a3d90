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

// A window that writes what the flow shows, hands off and logs into one
// transcript, a line per event. The thread that makes it is the main thread;
// main-thread work from other threads runs on the calling thread, one item
// at a time. Alerts are dismissed at once; exitProcess throws RunEnded.
class RecordingView : public installer::InstallView {
  public:
    bool openAccepted = true;
    bool launchAccepted = true;
    std::function<void(const std::string& text)> beforeStatus;  // may throw

    std::vector<std::string> transcript() const {
        std::lock_guard lock(mutex_);
        return transcript_;
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
    void record(std::string event, bool ends = false) {
        {
            std::lock_guard lock(mutex_);
            transcript_.push_back(std::move(event));
            hasEnded_ = hasEnded_ || ends;
        }
        ended_.notify_all();
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
        std::string text =
            std::string("alert ") +
            (alert.style == installer::AlertStyle::critical ? "critical|" : "warning|") +
            alert.messageText + "|" + alert.informativeText;
        for (const auto& button : alert.buttons) {
            text += "|" + button;
        }
        for (auto at = text.find('\n'); at != std::string::npos; at = text.find('\n', at)) {
            text.replace(at, 1, "\\n");
        }
        record(text);
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
    const std::thread::id mainThread_ = std::this_thread::get_id();
    std::recursive_mutex mainThreadWork_;
    mutable std::mutex mutex_;
    std::condition_variable ended_;
    bool hasEnded_ = false;
    std::vector<std::string> transcript_;
    std::vector<double> progress_;
};

void writeFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

std::string shell(const std::string& script) {
    const auto result = testsupport::runProgram({"sh", "-c", script});
    EXPECT_EQ(result.status, 0) << script;
    return result.output.substr(0, result.output.find('\n'));
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
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
    openRefused,
    launchRefused,
    outOfMemoryWhenDownloading,
    publicKeyInBundle,
};

// The transcript after the working directory's log line, a line per event.
// Placeholders: {work} the working directory, {apps} the applications
// folder, {url} the manifest URL, {server} the server, {downloads} the
// download folder, {unzip} unzip's path. "<any>" ending a line stands for any
// text that is not empty.
struct Row {
    const char* name;
    std::optional<std::string> productID;
    std::string manifest;  // served at /<productID>/cv-latest-mac.json
    Setup setup;
    std::string transcript;
};

const std::string fetched = "icon\nManifest URL is: {url}\n";
const std::string downloading = fetched + "status Downloading version 2.0…\n";
std::string unzipped(const std::string& zip) {
    return downloading + "status Uncompressing…\n{work}/" + zip + "\n";
}
const std::string installing = unzipped("Sample.zip") +
                               "2\nstatus Installing to Applications…\nprevAppPath\n"
                               "file://{work}/Sample.app/\nappName\nSample.app\n";
const std::string installed =
    installing + "status Installed!\nlater 250\nlaunch {apps}/Sample.app\n";
const std::string diskImage = downloading + "status Opening DMG Image…\nDisk image moved to: ";
const std::string cleanedUpAndQuit = "Cleaning up\nquit\n";
std::string failed(const std::string& title, const std::string& message) {
    return "alert critical|" + title + "|" + message + (message == "<any>" ? "" : "|Ok") +
           "\nCleaning up\nexit 1\n";
}
std::string unzipFailed(const std::string& name, const std::string& status) {
    return unzipped(name) + failed("Error uncompresing {work}/" + name,
                                   "Command '{unzip} -q -o {work}/" + name +
                                       " -d {work}' finished with exit code " + status + ".");
}
std::string downloadFailed(const std::string& url, const std::string& message = "<any>") {
    return downloading + "Error downloading file from " + url + "\n" +
           failed("Error downloading file", message);
}

const Setup none = Setup::none;
const Row rows[] = {
    {"product identifier absent", std::nullopt, "", none,
     "in main thread\n" +
         failed("Corvantis ID is incorrect", "The value in the plist file is not a string.")},
    {"identifier that makes no URL", "two words", "", none,
     "icon\nin main thread\n" +
         failed("Corvantis ID is incorrect",
                "The manifest location {url} made from it is not a valid URL.")},
    // Any status but 200 fails, named with the address asked for.
    {"redirect to an answer with 204", "_redirect?to=/_status/204&from=", "", none,
     fetched +
         failed("Error downloading manifest", "Server returned HTTP status code 204 from {url}")},
    {"manifest that is not JSON", "notjson", "this is not JSON {", none,
     fetched + failed("Error decoding manifest JSON", "<any>")},
    {"manifest too large to read", "large", "", none,
     fetched + failed("Error downloading manifest from {url}",
                      "The response is too large: it exceeds the limit of 1048576 bytes.")},
    {"no build for this machine", "armonly",
     R"({"version": "1", "createdAt": "", "artifacts": {"zip": {"arm64": {"path": "a.zip",
        "url": "{server}/a.zip"}}, "dmg": {"x64": {"path": "b", "url": "{server}/b"}}}})",
     none,
     fetched + failed("No suitable download in manifest",
                      "The manifest from {url} offers no build with a url and a path for this "
                      "machine (x86_64).")},
    {"out of memory in a step", "sample", build("Sample.zip"), Setup::outOfMemoryWhenDownloading,
     fetched +
         failed("Error downloading manifest from {url}", "There was not enough memory to go on.")},
    {"path that climbs out of the working directory", "climbing",
     build("../Sample.zip", "{server}/files/Sample.zip"), none,
     fetched + failed("Unsafe path in manifest",
                      "The path \"../Sample.zip\" in the manifest contains a \"..\" component; a "
                      "build's path must name a file inside the working directory {work}.")},
    {"working directory that cannot be made", "sample", build("Sample.zip"),
     Setup::workingDirectoryUnderAFile,
     downloading + failed("Error creating directory {work}",
                          "Could not create directory '{work}': Not a directory")},
    {"download address that does not parse", "badurl", build("Sample.zip", "not a url"), none,
     downloading + failed("Error downloading file",
                          "The download address \"not a url\" is not a valid URL.")},
    {"connection cut during the download", "cut",
     build("Sample.zip", "{server}/_cut/files/Sample.zip"), none,
     downloadFailed("{server}/_cut/files/Sample.zip")},
    {"build address in plain HTTP", "plain",
     build("Sample.zip", "http://127.0.0.1:1/files/Sample.zip"), none,
     downloadFailed("http://127.0.0.1:1/files/Sample.zip",
                    "A plain-HTTP (non-HTTPS) address was refused: downloads must use HTTPS.")},
    {"path with a folder that does not exist", "nested",
     build("sub/Sample.zip", "{server}/files/Sample.zip"), none,
     downloading + failed("Error writing to {work}/sub/Sample.zip",
                          "Could not write '{work}/sub/Sample.zip': No such file or directory")},
    {"build whose digest is too short to match", "digest",
     build("Sample.zip", "", "zip", R"(, "sha512": "AAAA")"), none,
     downloading + failed("Error verifying download", "<any>")},
    {"badly signed build for a bundle with a public key", "signed",
     build("Sample.zip", "", "zip", R"(, "signature": "AAAA")"), Setup::publicKeyInBundle,
     downloading + failed("Error verifying download",
                          "The signature of the build at {server}/files/Sample.zip is 3 bytes "
                          "long, not 64.")},
    {"error page instead of a zip", "notzip", build("Broken.zip", "{server}/nothing"), none,
     unzipFailed("Broken.zip", "9")},
    {"empty body", "empty", build("Empty.zip"), none, unzipFailed("Empty.zip", "9")},
    {"unzip writing more than a pipe holds", "noisy", build("Noisy.zip"), none,
     unzipFailed("Noisy.zip", "1")},  // unzip's status for warnings
    {"bundle inside a folder", "folder", build("Folder.zip"), none,
     unzipped("Folder.zip") + "2\n" +
         failed("No application in the download",
                "Nothing at the top level of {work} has a name containing \".app\", so there is "
                "nothing to install.")},
    {"bundle with a link leading out of it", "escaping", build("Escaping.zip"), none,
     unzipped("Escaping.zip") + "2\nstatus Installing to Applications…\n" +
         failed("Unsafe application in archive",
                "The application \"Sample.app\" holds a link \"Contents/Settings\" to \"/etc\", "
                "which points outside it; it was not installed.")},
    {"disk image opened", "disk", build("Sample.dmg", "", "dmg"), none,
     diskImage + "{downloads}/Sample.dmg\nopen {downloads}/Sample.dmg\n" + cleanedUpAndQuit},
    {"disk image nobody opens, under a name already taken", "disk", build("Sample.dmg", "", "dmg"),
     Setup::openRefused,
     diskImage + "{downloads}/Sample (1).dmg\nopen {downloads}/Sample (1).dmg\nwindow stays\n"},
    // Slowly, so that the bar moves.
    {"fresh install of a build whose digest matches", "sample",
     build("Sample.zip", "{server}/_slow/files/Sample.zip?pieces=8&pause=0.05", "zip",
           R"(, "sha512": "{sampleSha512}")"),
     none, installed + cleanedUpAndQuit},
    {"older copy replaced", "sample", build("Sample.zip"), Setup::oldCopyInstalled,
     installed + cleanedUpAndQuit},
    {"launch refused", "sample", build("Sample.zip"), Setup::launchRefused,
     installed + "window stays\n"},
    {"replacement fails", "sample", build("Sample.zip"), Setup::oldCopyOnReadOnlyApplications,
     installing + failed("Error replacing existing application", "<any>")},
    {"move fails: manual hand-over", "sample", build("Sample.zip"), Setup::noApplicationsFolder,
     installing +
         "alert warning|You will need to manually move Sample to Applications folder.|We will "
         "reveal Sample.app in Finder. You can then manually drag the application to the "
         "Applications folder yourself.\\n\\nInternal code: 2|Reveal in Finder\n"
         "reveal {work}/Sample.app\nexit 0\n"},
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
    testsupport::TemporaryDirectory certificates, root;
    testsupport::makeTestCertificates(certificates.path());
    testsupport::ScopedEnvironmentVariable trust("SSL_CERT_FILE",
                                                 (certificates.path() / "ca.pem").string());
    const auto files = root.path() / "files";
    const std::string zip = "'" CORVANTIS_MAKE_ZIP "' '" + files.string() + "/";
    const std::string app =
        " f:Sample.app/Contents/Resources/version l:Sample.app/Contents/Current=Resources";
    fs::create_directories(files);
    shell(zip + "Sample.zip'" + app);
    shell(zip + "Escaping.zip'" + app + " l:Sample.app/Contents/Settings=/etc");
    shell(zip + "Folder.zip' f:Release/Sample.app/Contents/Info.plist");
    // Each absolute entry name makes unzip warn once, naming it in full.
    shell("d=$(printf '/%0200d' $(seq 15)); " + zip + "Noisy.zip' $(for i in $(seq 100); do " +
          "echo f:$d/file-$i; done)");
    const auto unzip = shell("command -v unzip");
    const auto sampleSha512 =
        shell("openssl dgst -sha512 -binary '" + files.string() + "/Sample.zip' | base64 -w0");
    writeFile(files / "Empty.zip", "");
    writeFile(files / "Sample.dmg", "not really a disk image");
    writeFile(root.path() / "large" / "cv-latest-mac.json", std::string((1 << 20) + 1, ' '));
    testsupport::HttpsServer server(root.path(), certificates.path());

    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::TemporaryDirectory scratch("engine-run");
        auto work = scratch.path() / "tmp" / "5E2F0C1A-0000-4000-8000-00000000C0DE";
        const auto apps = scratch.path() / "Applications";
        const auto downloads = scratch.path() / "Downloads";
        const auto oldApp = scratch.path() / "old" / "Sample.app";
        writeFile(oldApp / "Contents" / "only-in-old", "old");
        fs::create_directories(apps);

        RecordingView view;
        installer::InstallSettings settings;
        settings.manifestTemplate = server.url("/%@/cv-latest-mac.json");
        settings.hardwareName = "x86_64";
        switch (row.setup) {
            case Setup::oldCopyInstalled:
                fs::copy(oldApp, apps / "Sample.app", fs::copy_options::recursive);
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
                    "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=");
                break;
            case Setup::none:
                break;
        }
        settings.applicationsFolder = apps;
        settings.workingDirectory = [work] { return work; };
        settings.downloadFolder = [downloads] { return downloads; };
        settings.writeLog = [&view](std::string_view line) { view.record(std::string(line)); };
        const auto fill = [&](std::string text) {
            replaceAll(text, "{url}",
                       "{server}/" + row.productID.value_or("") + "/cv-latest-mac.json");
            replaceAll(text, "{server}", server.url(""));
            replaceAll(text, "{work}", work.string());
            replaceAll(text, "{apps}", apps.string());
            replaceAll(text, "{downloads}", downloads.string());
            replaceAll(text, "{unzip}", unzip);
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

        const auto transcript = view.transcript();
        std::vector<std::string> expected{"Temporary directory is:  file://" + work.string() + "/"};
        std::istringstream lines(fill(row.transcript));
        for (std::string line; std::getline(lines, line);) {
            expected.push_back(line);
        }
        ASSERT_EQ(transcript.size(), expected.size()) << ::testing::PrintToString(transcript);
        for (std::size_t index = 0; index < transcript.size(); ++index) {
            if (expected[index].ends_with("<any>")) {
                const auto prefix = expected[index].substr(0, expected[index].size() - 5);
                EXPECT_TRUE(transcript[index].starts_with(prefix) &&
                            transcript[index].size() > prefix.size() + 3)
                    << transcript[index];
            } else {
                EXPECT_EQ(transcript[index], expected[index]);
            }
        }

        // What is left: the working directory goes with every end but the
        // hand-over and a refusal; an install leaves the new copy alone.
        const auto& end = transcript.back();
        EXPECT_EQ(fs::exists(work), end != "quit" && end != "exit 1");
        const auto installedApp = apps / "Sample.app" / "Contents";
        if (end == "quit" && row.manifest.find(".zip") != std::string::npos) {
            EXPECT_EQ(testsupport::contentOf(installedApp / "Current" / "version"),
                      "Sample.app/Contents/Resources/version");
            EXPECT_EQ(testsupport::namesIn(apps), std::vector<std::string>{"Sample.app"});
            EXPECT_EQ(testsupport::namesIn(installedApp),
                      (std::vector<std::string>{"Current", "Resources"}));
            // The bar covers the download from 3 to 93, then 95, 98 and 100.
            const auto values = view.progress();
            EXPECT_EQ(values.front(), 3);
            EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
            EXPECT_EQ(std::vector<double>(values.end() - 4, values.end()),
                      (std::vector<double>{93, 95, 98, 100}));
            if (row.manifest.find("_slow") != std::string::npos) {
                EXPECT_TRUE(std::any_of(values.begin(), values.end(),
                                        [](double v) { return v > 3 && v < 93; }));
            }
        }
        if (row.setup == Setup::oldCopyOnReadOnlyApplications) {
            EXPECT_EQ(testsupport::contentOf(installedApp / "only-in-old"), "old");
            ::umount(apps.c_str());
        } else if (row.setup == Setup::noApplicationsFolder) {
            EXPECT_EQ(fs::read_symlink(work / "Applications"), apps);
            EXPECT_EQ(testsupport::namesIn(work),
                      (std::vector<std::string>{"Applications", "Sample.app"}));
        } else if (row.setup == Setup::openRefused) {
            EXPECT_EQ(testsupport::contentOf(downloads / "Sample (1).dmg"),
                      "not really a disk image");
            EXPECT_EQ(testsupport::contentOf(downloads / "Sample.dmg"), "the user's own");
        }
    }
}

}  // namespace
