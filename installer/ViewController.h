#pragma once

#include <functional>
#include <optional>
#include <string>

#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QWidget>

#include "platform/net/URLSession.h"
#include "platform/system/Bytes.h"
#include "platform/system/Error.h"
#include "platform/system/URL.h"
#include "shell/AsyncCommand.h"

namespace installer {

// How the manifest step hands the chosen build on: url, path, version, isZip.
using ManifestHandOver = std::function<void(const std::string& url, const std::string& path,
                                            const std::string& version, bool isZip)>;

// The controller of the installer's one window. Its view is built from
// ViewController.ui; once built, the install flow starts on its own and runs
// as a chain of steps, each calling the next. It keeps no state beyond its
// three interface elements, which it holds weakly.
class ViewController : public QWidget {
    Q_OBJECT
  public:
    explicit ViewController(QWidget* parent = nullptr);
    ~ViewController() override;

    // Interface outlets, connected when the view is loaded.
    QPointer<QLabel> textField;       // the status line
    QPointer<QProgressBar> progress;  // 0 to 100
    QPointer<QLabel> imageView;       // the product's icon

    // Builds the view from the interface file, connects the outlets and calls
    // viewDidLoad.
    void loadView();

    // Start of the flow (main thread): logs the working directory, reads the
    // product identifier and fetches the manifest.
    void viewDidLoad();
    // Sets the window title from the bundle's "CFBundleName".
    void viewDidAppear();

    // Shows the icon, builds and logs the manifest URL and starts its request.
    void fetchManifest(const std::string& productID, ManifestHandOver handOver);
    // On the session's callback thread: checks, decodes, chooses the build
    // and calls handOver, or ends the run through showError.
    void handleManifestResponse(std::optional<platform::Bytes> body,
                                std::optional<platform::HTTPResponse> response,
                                std::optional<platform::URLError> error,
                                const platform::URL& manifestURL, const ManifestHandOver& handOver);
    // Shows the version, then downloads url into the working directory under
    // path and hands the file to handleDownloadedFile.
    void downloadArtifact(const std::string& url, const std::string& path,
                          const std::string& version, bool isZip);
    // Creates the working directory, downloads url into memory and writes it
    // to destination in one write. onProgress gets the fraction completed on
    // the thread that posts it; onCompletion gets the destination on the
    // session's callback thread. Every failure ends the run through showError.
    void downloadFile(const std::string& url, const platform::URL& destination,
                      std::function<void(double fraction)> onProgress,
                      std::function<void(const platform::URL& file)> onCompletion);

    // A zip archive is extracted and installed; a disk image is handed to the
    // desktop to open, after which the installer cleans up and quits.
    void handleDownloadedFile(const platform::URL& archive, bool isZip);
    // Runs unzip on the archive into its own folder and waits for it.
    // onCompletion runs once, only after unzip has ended with status 0; any
    // other end leads to showError.
    void unzipArchive(const platform::URL& archive,
                      std::function<void(shell::AsyncCommand&)> onCompletion);
    // The first top-level entry of the working directory whose name contains
    // ".app"; ends the run through showError when there is none.
    std::string findAppName();

    // After a successful extraction: moves the bundle into /Applications,
    // shows "Installed!" and launches it a quarter of a second later.
    void installUnpackedApp(const platform::URL& archive);
    // Puts source at "/Applications/" + name, replacing an older copy, and
    // returns where it now is. A failed replacement ends through showError; a
    // failed move hands the bundle over for a manual install and exits with
    // status 0.
    platform::URL installApp(const platform::URL& source, const std::string& name,
                             const platform::URL& archive);
    // Main thread: explains the manual install; returns once dismissed.
    void showManualInstallAlert(const std::string& name, const platform::Error& error);
    // Main thread: opens the installed bundle; when that is accepted, cleans
    // up and asks the application to quit.
    void launchInstalledApp(const platform::URL& installed);

    // Runs work on the main thread and returns once it has run; on the main
    // thread itself it logs "in main thread" and runs the work directly.
    void runOnMain(const std::function<void()>& work);
    void setStatus(const std::string& text);
    // value on the 0 to 100 scale.
    void setProgress(double value);
    // Critical alert with the two texts and one button "Ok", then cleanUp,
    // then the process ends with status 1. From any thread.
    [[noreturn]] void showError(const std::string& title, const std::string& message);
    // Logs "Cleaning up" and removes the working directory; a failure is
    // returned, not reported.
    std::optional<platform::Error> cleanUp();
    // Asks the application to terminate.
    void quitInstaller();
    // For a run that stops short of quitting (the system refused to open
    // what it was given): closing the window from now on ends the installer,
    // and a window already closed ends it at once. From any thread.
    void endWhenWindowCloses();

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void bringToFront();
    void showIcon();
};

}  // namespace installer
