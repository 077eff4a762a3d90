// The unpacking step: a zip archive is extracted with unzip next to itself,
// a disk image is handed to the desktop.
#include <atomic>
#include <memory>

#include "installer/AppName.h"
#include "installer/Format.h"
#include "installer/Log.h"
#include "installer/TemporaryDirectory.h"
#include "installer/ViewController.h"
#include "platform/system/FileManager.h"
#include "platform/workspace/Workspace.h"
#include "shell/Shell.h"

namespace installer {

void ViewController::handleDownloadedFile(const platform::URL& archive, bool isZip) {
    if (isZip) {
        setStatus("Uncompressing…");
        log({archive.path()});
        unzipArchive(archive,
                     [this, archive](shell::AsyncCommand&) { installUnpackedApp(archive); });
        return;
    }
    setStatus("Opening DMG Image…");
    setProgress(1);
    if (platform::workspace::open(archive)) {
        (void)cleanUp();
        quitInstaller();
        return;
    }
    // Refused: the window stays as it is until the user closes it.
    endWhenWindowCloses();
}

void ViewController::unzipArchive(const platform::URL& archive,
                                  std::function<void(shell::AsyncCommand&)> onCompletion) {
    const auto archivePath = archive.path();
    const auto directory = archive.deletingLastPathComponent().path();
    auto command = shell::startCaptured("unzip", "-q", "-o", archivePath, "-d", directory);

    // Goes on only after a clean end, and once at most.
    auto continued = std::make_shared<std::atomic<bool>>(false);
    command->onTermination(
        [onCompletion = std::move(onCompletion), continued](shell::AsyncCommand& ended) {
            if (ended.exitReason() == platform::TerminationReason::exit &&
                ended.exitStatus() == 0 && !continued->exchange(true)) {
                onCompletion(ended);
            }
        });
    // Nobody wants unzip's words, but a pipe left full would stop it for
    // good: read them as they come and drop them.
    for (const auto& output : {command->stdout(), command->stderror()}) {
        output->onOutput([](shell::ReadableStream& stream) { (void)stream.readSomeData(); });
    }

    try {
        command->waitForSuccess();
    } catch (const shell::CommandError& error) {
        if (error.kind() == shell::CommandError::Kind::returnedErrorCode) {
            showError("Error uncompresing " + archivePath,
                      "Command '" + error.command() + "' finished with exit code " +
                          std::to_string(error.errorcode()) + ".");
        }
        showError("Error uncompressing " + archivePath, error.localizedDescription());
    } catch (const platform::Error& error) {
        showError("Error uncompressing " + archivePath, error.localizedDescription());
    }
}

std::string ViewController::findAppName() {
    const auto directory = installerTempDirectory().path();
    std::vector<std::string> names;
    try {
        names = platform::FileManager::defaultManager().contentsOfDirectory(directory);
    } catch (const platform::Error& error) {
        showError("No application in the download", error.localizedDescription());
    }
    auto name = firstAppName(names);
    if (!name) {
        showError("No application in the download",
                  format("Nothing at the top level of %@ has a name containing \".app\", so "
                         "there is nothing to install.",
                         {directory}));
    }
    return *name;
}

}  // namespace installer
