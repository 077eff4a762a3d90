// The window, failure and clean-up operations every step of the flow shares.
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <QCoreApplication>
#include <QGuiApplication>

#include "installer/Alert.h"
#include "installer/Log.h"
#include "installer/MainQueue.h"
#include "installer/TemporaryDirectory.h"
#include "installer/ViewController.h"
#include "platform/system/FileManager.h"

namespace installer {

void ViewController::runOnMain(const std::function<void()>& work) {
    auto& queue = MainQueue::shared();
    if (queue.isMainThread()) {
        log({"in main thread"});
    }
    queue.runOnMainThread(work);
}

void ViewController::setStatus(const std::string& text) {
    runOnMain([&] { textField->setText(QString::fromStdString(text)); });
}

void ViewController::setProgress(double value) {
    runOnMain([&] { progress->setValue(static_cast<int>(std::lround(value))); });
}

void ViewController::showError(const std::string& title, const std::string& message) {
    runOnMain([&] {
        QWidget* parent = window()->isVisible() ? window() : nullptr;
        runModalAlert({AlertStyle::critical, title, message, {"Ok"}}, parent);
        (void)cleanUp();
        // Other threads may be blocked inside runOnMain and Qt is still up:
        // leave at once instead of running exit handlers under them.
        std::fflush(nullptr);
        std::_Exit(1);
    });
    std::abort();  // not reached: the work above ends the process
}

std::optional<platform::Error> ViewController::cleanUp() {
    log({"Cleaning up"});
    try {
        platform::FileManager::defaultManager().removeItem(installerTempDirectory().path());
    } catch (const platform::Error& error) {
        return error;
    }
    return std::nullopt;
}

void ViewController::quitInstaller() {
    runOnMain([] { QCoreApplication::quit(); });
}

void ViewController::endWhenWindowCloses() {
    const auto endWithTheWindow = [this] {
        QGuiApplication::setQuitOnLastWindowClosed(true);
        if (!window()->isVisible()) {
            QCoreApplication::quit();
        }
    };
    // Not runOnMain: its "in main thread" line belongs to the flow's steps.
    MainQueue::shared().runOnMainThread(endWithTheWindow);
}

}  // namespace installer
