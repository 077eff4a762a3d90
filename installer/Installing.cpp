// The installing step: the unpacked bundle goes into /Applications, replacing
// an older copy, and is opened; when it cannot go there, the user is shown
// where it is so they can move it themselves.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <QCoreApplication>
#include <QTimer>

#include "installer/Alert.h"
#include "installer/Log.h"
#include "installer/ManualInstall.h"
#include "installer/ViewController.h"
#include "platform/system/FileManager.h"
#include "platform/system/ItemMove.h"
#include "platform/workspace/Workspace.h"

namespace installer {
namespace {

namespace fs = std::filesystem;

bool isDirectory(const fs::path& path) {
    std::error_code ignored;
    return fs::is_directory(path, ignored);
}

}  // namespace

void ViewController::installUnpackedApp(const platform::URL& archive) {
    log({"2"});
    setProgress(95);
    const auto name = findAppName();
    runOnMain([&] {
        progress->setValue(98);
        textField->setText("Installing to Applications…");
    });
    const auto folder = archive.deletingLastPathComponent();
    const auto source =
        folder.appendingPathComponent(name, isDirectory(fs::path(folder.path()) / name));
    const auto installed = installApp(source, name, archive);
    runOnMain([&] {
        progress->setValue(100);
        textField->setText("Installed!");
        // "Installed!" stays on screen for a quarter of a second first.
        QTimer::singleShot(250, this, [this, installed] { launchInstalledApp(installed); });
    });
}

platform::URL ViewController::installApp(const platform::URL& source, const std::string& name,
                                         const platform::URL& archive) {
    log({"prevAppPath"});
    log({source.absoluteString()});
    log({"appName"});
    log({name});
    const fs::path destinationPath = "/Applications/" + name;
    const auto destination = platform::URL::fileURL(destinationPath, source.hasDirectoryPath());

    std::error_code unreachable;
    if (fs::exists(destinationPath, unreachable) && !unreachable) {
        try {
            return platform::URL::fileURL(platform::replaceItem(destinationPath, source.path()),
                                          source.hasDirectoryPath());
        } catch (const platform::Error& error) {
            showError("Error replacing existing application", error.localizedDescription());
        }
    }
    try {
        platform::moveItem(source.path(), destinationPath);
        return destination;
    } catch (const platform::Error& moveError) {
        // Hand the bundle over: a link to /Applications beside it, to drag onto.
        auto& files = platform::FileManager::defaultManager();
        try {
            files.createSymbolicLink(fs::path(source.path()).parent_path() / "Applications",
                                     "/Applications");
        } catch (const platform::Error&) {
        }
        try {
            files.removeItem(archive.path());
        } catch (const platform::Error&) {
        }
        runOnMain([&] { showManualInstallAlert(name, moveError); });
        platform::workspace::activateFileViewerSelecting({source});
        // The working directory stays for the user. Qt is still running on
        // the main thread: leave without exit handlers.
        std::fflush(nullptr);
        std::_Exit(0);
    }
}

void ViewController::showManualInstallAlert(const std::string& name, const platform::Error& error) {
    QWidget* parent = window()->isVisible() ? window() : nullptr;
    runModalAlert(manualInstallAlert(name, error.code()), parent);
}

void ViewController::launchInstalledApp(const platform::URL& installed) {
    if (!platform::workspace::open(installed)) {
        endWhenWindowCloses();  // refused: the window stays at "Installed!"
        return;
    }
    (void)cleanUp();
    QMetaObject::invokeMethod(
        this, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
}

}  // namespace installer
