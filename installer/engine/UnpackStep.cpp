// The unpacking step: a zip archive is extracted with unzip next to itself,
// a disk image is handed to the desktop.
#include <atomic>
#include <memory>

#include "installer/engine/AppName.h"
#include "installer/engine/Format.h"
#include "installer/engine/InstallEngine.h"
#include "platform/system/FreeNameMove.h"
#include "shell/Shell.h"

namespace installer {

namespace fs = std::filesystem;

void InstallEngine::handleDownloadedFile(const fs::path& archive, bool isZip) {
    if (isZip) {
        setStatus("Uncompressing…");
        log({archive.string()});
        unzipArchive(archive, [this, archive] { installUnpackedApp(archive); });
        return;
    }
    setStatus("Opening DMG Image…");
    setProgress(1);
    // The working directory goes as soon as the image is handed over, and the
    // desktop's handler may read it a moment later: it is kept elsewhere.
    fs::path image;
    try {
        image = platform::moveIntoFolderUnderFreeName(archive, settings_.downloadFolder());
    } catch (const std::system_error& error) {
        showError("Error moving disk image", error.what());
    }
    log({"Disk image moved to:", image.string()});
    if (view_.openFile(image)) {
        (void)cleanUp();
        quitInstaller();
        return;
    }
    // Refused: the window stays as it is until the user closes it.
    view_.runOnMainThread([this] { view_.endWhenWindowCloses(); });
}

void InstallEngine::unzipArchive(const fs::path& archive, std::function<void()> onCompletion) {
    const auto archivePath = archive.string();
    const auto directory = archive.parent_path().string();
    auto command = shell::startCaptured("unzip", "-q", "-o", archivePath, "-d", directory);

    // Goes on only after a clean end, and once at most.
    auto continued = std::make_shared<std::atomic<bool>>(false);
    command->onTermination(
        [this, onCompletion = std::move(onCompletion), continued](shell::AsyncCommand& ended) {
            if (ended.exitReason() == platform::TerminationReason::exit &&
                ended.exitStatus() == 0 && !continued->exchange(true)) {
                atStepBoundary("Error installing application", onCompletion);
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
        showError("Error uncompressing " + archivePath, error.what());
    } catch (const platform::Error& error) {
        showError("Error uncompressing " + archivePath, error.what());
    }
}

std::string InstallEngine::findAppName() {
    const auto& directory = workingDirectory();
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator entries(directory, error), end; !error && entries != end;
         entries.increment(error)) {
        names.push_back(entries->path().filename().string());
    }
    if (error) {
        showError("No application in the download",
                  std::system_error(error, "Could not list directory '" + directory.string() + "'")
                      .what());
    }
    auto name = firstAppName(names);
    if (!name) {
        showError("No application in the download",
                  format("Nothing at the top level of %@ has a name containing \".app\", so "
                         "there is nothing to install.",
                         {directory.string()}));
    }
    return *name;
}

}  // namespace installer
