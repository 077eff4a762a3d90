#pragma once

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "installer/engine/ArtifactSelection.h"
#include "installer/engine/InstallView.h"
#include "installer/verification/PublicKeySetting.h"
#include "platform/net/Session.h"

namespace installer {

// How the manifest step hands the chosen build on: url, path, version, isZip,
// and what the build's bytes must match.
using ManifestHandOver =
    std::function<void(const std::string& url, const std::string& path, const std::string& version,
                       bool isZip, const BuildChecks& checks)>;

struct InstallSettings {
    // "https://HOST/%@/cv-latest-mac.json": the product identifier fills it.
    std::string manifestTemplate;
    // Where the application goes, and what the hand-over link points at.
    std::filesystem::path applicationsFolder = "/Applications";
    // Names the run's working directory on first use.
    std::function<std::filesystem::path()> workingDirectory;
    // The machine hardware name; none reads the machine's own.
    std::optional<std::string> hardwareName;
    // Takes each log line (without its newline); empty writes standard output.
    std::function<void(std::string_view line)> writeLog;
    // The bundle's public key setting: with a key, every build must be signed.
    PublicKeySetting publicKey;
    // Where a disk image goes before it is opened; empty: the user's download
    // folder.
    std::function<std::filesystem::path()> downloadFolder;
};

// The largest manifest read. Real manifests are a few kilobytes; decoding
// takes many times a document's size, so a hostile one is refused unread.
inline constexpr std::size_t maximumManifestSize = 1 << 20;

// The install flow: manifest, download, unpacking, installing and hand-over,
// as one chain of steps that each call the next. It keeps no state of the
// flow itself: what travels along the chain travels in the arguments. The
// window and the desktop are reached through the view; every failure ends
// the run through showError.
//
// Threads: start and launchInstalledApp run on the main thread; the manifest
// and download completions on the transfer's callback thread, which also
// waits for unzip; the installation continues on the runner's thread once
// unzip has ended with status 0. Every window change goes through runOnMain.
class InstallEngine {
  public:
    InstallEngine(InstallView& view, InstallSettings settings);
    // Waits for the step under way, if any, to return.
    ~InstallEngine();
    InstallEngine(const InstallEngine&) = delete;
    InstallEngine& operator=(const InstallEngine&) = delete;

    // Main thread: logs the working directory, then fetches the product's
    // manifest, or ends with the alert for a missing product identifier.
    void start(const std::optional<std::string>& productID);

    // Shows the icon, builds and logs the manifest URL and starts its request.
    void fetchManifest(const std::string& productID, ManifestHandOver handOver);
    // On the callback thread: checks, decodes, chooses the build and calls
    // handOver, or ends the run through showError.
    void handleManifestResponse(std::optional<platform::Bytes> body,
                                std::optional<platform::net::Response> response,
                                std::optional<platform::net::URLError> error,
                                const std::string& manifestURL, const ManifestHandOver& handOver);
    // Refuses a path that leads out of the working directory, shows the
    // version, then downloads url into the working directory under path and
    // hands the file to handleDownloadedFile.
    void downloadArtifact(const std::string& url, const std::string& path,
                          const std::string& version, bool isZip, const BuildChecks& checks = {});
    // Creates the working directory and downloads url into a hidden file
    // there as the bytes arrive, checking them against checks on the way;
    // the file takes destination's name once complete and checked.
    // onProgress gets the fraction completed on the thread that posts it;
    // onCompletion gets the destination on the callback thread.
    void downloadFile(const std::string& url, const std::filesystem::path& destination,
                      const BuildChecks& checks, std::function<void(double fraction)> onProgress,
                      std::function<void(const std::filesystem::path& file)> onCompletion);
    // A zip archive is extracted and installed; a disk image is handed to the
    // desktop, after which the installer cleans up and quits.
    void handleDownloadedFile(const std::filesystem::path& archive, bool isZip);
    // Runs unzip on the archive into its own folder and waits for it.
    // onCompletion runs once, only after unzip has ended with status 0.
    void unzipArchive(const std::filesystem::path& archive, std::function<void()> onCompletion);
    // The first top-level entry of the working directory whose name contains
    // ".app"; ends the run through showError when there is none.
    std::string findAppName();
    // After a successful extraction: moves the bundle into the applications
    // folder, shows "Installed!" and launches it a quarter of a second later.
    void installUnpackedApp(const std::filesystem::path& archive);
    // Puts source into the applications folder under name, replacing an
    // older copy, and returns where it now is. A failed replacement ends
    // through showError; a failed move hands the bundle over for a manual
    // install and ends the process with status 0.
    std::filesystem::path installApp(const std::filesystem::path& source, const std::string& name,
                                     const std::filesystem::path& archive);
    // Main thread: explains the manual install; returns once dismissed.
    void showManualInstallAlert(const std::string& name, int errorCode);
    // Main thread: opens the installed bundle; when that is accepted, cleans
    // up and asks the application to quit.
    void launchInstalledApp(const std::filesystem::path& installed);

    // Runs work on the main thread and returns once it has run; on the main
    // thread itself it logs "in main thread" and runs the work directly.
    void runOnMain(const std::function<void()>& work);
    void setStatus(const std::string& text);
    void setProgress(double value);  // 0 to 100
    // Critical alert with the two texts and one button "Ok", then cleanUp,
    // then the process ends with status 1. From any thread.
    [[noreturn]] void showError(const std::string& title, const std::string& message);
    // Logs "Cleaning up" and removes the working directory, whatever modes
    // its folders carry; a failure is logged and returned.
    std::error_code cleanUp();
    // Asks the application to terminate.
    void quitInstaller();

    // The run's working directory, named on first use.
    const std::filesystem::path& workingDirectory();

  private:
    void log(std::initializer_list<std::string_view> items);
    // Runs one step that a callback starts. An allocation failure in it ends
    // the run with the step's alert; a run ended by the view stops it.
    void atStepBoundary(const std::string& title, const std::function<void()>& step);
    std::filesystem::path artifactDestination(const std::string& path);

    InstallView& view_;
    InstallSettings settings_;
    std::once_flag workingDirectoryNamed_;
    std::filesystem::path workingDirectory_;
    std::mutex stepsMutex_;
    std::condition_variable stepsDone_;
    int stepsUnderWay_ = 0;
    // Last, so that it ends its transfers first: their completions and
    // progress handlers reach into the rest of the engine.
    platform::net::Session session_;
};

}  // namespace installer
