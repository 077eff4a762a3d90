// The engine's life and the operations every step shares: the main-thread
// hand-off, status and progress, the failure exit and the clean-up.
#include "installer/engine/InstallEngine.h"

#include <cstdlib>
#include <new>

#include "installer/engine/Log.h"
#include "installer/engine/TemporaryDirectory.h"
#include "platform/system/DownloadFolder.h"
#include "platform/system/FileURLText.h"
#include "platform/system/TreeRemoval.h"

namespace installer {

InstallEngine::InstallEngine(InstallView& view, InstallSettings settings)
    : view_(view), settings_(std::move(settings)) {
    if (!settings_.workingDirectory) {
        settings_.workingDirectory = installerTempDirectory;
    }
    if (!settings_.writeLog) {
        settings_.writeLog = writeLogLine;
    }
    if (!settings_.downloadFolder) {
        settings_.downloadFolder = platform::downloadDirectory;
    }
}

InstallEngine::~InstallEngine() {
    std::unique_lock lock(stepsMutex_);
    stepsDone_.wait(lock, [this] { return stepsUnderWay_ == 0; });
}

void InstallEngine::start(const std::optional<std::string>& productID) {
    atStepBoundary("Corvantis ID is incorrect", [&] {
        log({"Temporary directory is: ", platform::fileURLText(workingDirectory(), true)});
        if (!productID) {
            showError("Corvantis ID is incorrect", "The value in the plist file is not a string.");
        }
        fetchManifest(*productID,
                      [this](const std::string& url, const std::string& path,
                             const std::string& version, bool isZip, const BuildChecks& checks) {
                          downloadArtifact(url, path, version, isZip, checks);
                      });
    });
}

const std::filesystem::path& InstallEngine::workingDirectory() {
    std::call_once(workingDirectoryNamed_,
                   [this] { workingDirectory_ = settings_.workingDirectory(); });
    return workingDirectory_;
}

void InstallEngine::log(std::initializer_list<std::string_view> items) {
    settings_.writeLog(logLine(items));
}

void InstallEngine::atStepBoundary(const std::string& title, const std::function<void()>& step) {
    struct UnderWay {
        InstallEngine& engine;
        explicit UnderWay(InstallEngine& e) : engine(e) {
            std::lock_guard lock(engine.stepsMutex_);
            ++engine.stepsUnderWay_;
        }
        ~UnderWay() {
            // Under the lock: once it is released the engine may be gone.
            std::lock_guard lock(engine.stepsMutex_);
            --engine.stepsUnderWay_;
            engine.stepsDone_.notify_all();
        }
    } underWay(*this);
    try {
        try {
            step();
        } catch (const std::bad_alloc&) {
            // What the step held is released by now, so the alert has room.
            showError(title, "There was not enough memory to go on.");
        }
    } catch (const RunEnded&) {
        // The view ended the run; nothing of this step goes on.
    } catch (const std::bad_alloc&) {
        try {
            view_.exitProcess(1);  // not even the alert fits
        } catch (const RunEnded&) {
        }
    }
}

void InstallEngine::runOnMain(const std::function<void()>& work) {
    if (view_.isMainThread()) {
        log({"in main thread"});
    }
    view_.runOnMainThread(work);
}

void InstallEngine::setStatus(const std::string& text) {
    runOnMain([&] { view_.showStatus(text); });
}

void InstallEngine::setProgress(double value) {
    runOnMain([&] { view_.showProgress(value); });
}

void InstallEngine::showError(const std::string& title, const std::string& message) {
    runOnMain([&] {
        view_.runAlert({AlertStyle::critical, title, message, {"Ok"}});
        (void)cleanUp();
        view_.exitProcess(1);
    });
    std::abort();  // not reached: the work above ends the run
}

std::error_code InstallEngine::cleanUp() {
    log({"Cleaning up"});
    try {
        platform::removeTree(workingDirectory());
    } catch (const std::system_error& error) {
        log({"Clean-up failed:", error.what()});
        return error.code();
    }
    return {};
}

void InstallEngine::quitInstaller() {
    runOnMain([this] { view_.quit(); });
}

}  // namespace installer
