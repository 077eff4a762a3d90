// The installing step: the unpacked bundle goes into the applications folder,
// replacing an older copy, and is opened; when it cannot go there, the user
// is shown where it is so they can move it themselves.
#include <chrono>
#include <cstdlib>

#include "installer/engine/InstallEngine.h"
#include "installer/engine/ManualInstall.h"
#include "installer/safety/BundleLinks.h"
#include "platform/system/Error.h"
#include "platform/system/FileURLText.h"
#include "platform/system/ItemMove.h"

namespace installer {

namespace fs = std::filesystem;

void InstallEngine::installUnpackedApp(const fs::path& archive) {
    log({"2"});
    setProgress(95);
    const auto name = findAppName();
    runOnMain([&] {
        view_.showProgress(98);
        view_.showStatus("Installing to Applications…");
    });
    const auto source = archive.parent_path() / name;
    // Nothing goes into the applications folder that reaches out of itself.
    if (auto refusal = safety::checkUnpackedBundle(source)) {
        showError(std::string(safety::unsafeBundleTitle), *refusal);
    }
    const auto installed = installApp(source, name, archive);
    runOnMain([&] {
        view_.showProgress(100);
        view_.showStatus("Installed!");
        // "Installed!" stays on screen for a quarter of a second first.
        view_.runLater(std::chrono::milliseconds(250), [this, installed] {
            atStepBoundary("Error installing application", [&] { launchInstalledApp(installed); });
        });
    });
}

fs::path InstallEngine::installApp(const fs::path& source, const std::string& name,
                                   const fs::path& archive) {
    std::error_code ignored;
    log({"prevAppPath"});
    log({platform::fileURLText(source, fs::is_directory(source, ignored))});
    log({"appName"});
    log({name});
    const auto destination = settings_.applicationsFolder / name;

    std::error_code unreachable;
    if (fs::exists(destination, unreachable) && !unreachable) {
        try {
            return platform::replaceItem(destination, source);
        } catch (const platform::Error& error) {
            showError("Error replacing existing application", error.what());
        }
    }
    try {
        platform::moveItem(source, destination);
        return destination;
    } catch (const platform::Error& moveError) {
        // Hand the bundle over: a link to the applications folder beside it,
        // to drag onto.
        fs::create_directory_symlink(settings_.applicationsFolder,
                                     source.parent_path() / "Applications", ignored);
        fs::remove(archive, ignored);
        runOnMain([&] { showManualInstallAlert(name, moveError.code().value()); });
        view_.revealInFileViewer(source);
        // The working directory stays for the user.
        view_.exitProcess(0);
        std::abort();  // not reached: the view ends the run
    }
}

void InstallEngine::showManualInstallAlert(const std::string& name, int errorCode) {
    view_.runAlert(manualInstallAlert(name, errorCode));
}

void InstallEngine::launchInstalledApp(const fs::path& installed) {
    if (!view_.launchApplication(installed)) {
        view_.endWhenWindowCloses();  // refused: the window stays at "Installed!"
        return;
    }
    (void)cleanUp();
    view_.quit();
}

}  // namespace installer
