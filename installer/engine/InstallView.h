#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

#include "installer/engine/Alert.h"

namespace installer {

// Thrown by InstallView::exitProcess when the view does not end the process
// itself (a view without a process of its own). The engine lets it pass up
// to the step that is running, which then ends quietly.
struct RunEnded {
    int status = 0;
};

// What the install flow needs from its window and its desktop. The window
// operations are called on the main thread only, through runOnMainThread;
// the hand-offs to the desktop and exitProcess may be called from any thread.
class InstallView {
  public:
    virtual ~InstallView() = default;

    // The thread that owns the window.
    virtual bool isMainThread() const = 0;
    // Runs work on the main thread and returns once it has run; on the main
    // thread itself, at once.
    virtual void runOnMainThread(const std::function<void()>& work) = 0;

    // Main thread only.
    virtual void showStatus(const std::string& text) = 0;
    virtual void showProgress(double value) = 0;  // 0 to 100
    virtual void showIcon() = 0;
    // Shows the alert modally; returns the index of the button that
    // dismissed it once it has been dismissed.
    virtual int runAlert(const Alert& alert) = 0;
    // Queues work on the main thread to run after the delay.
    virtual void runLater(std::chrono::milliseconds delay, std::function<void()> work) = 0;
    // Asks the application to terminate once the current main-thread work
    // is done.
    virtual void quit() = 0;
    // The run stopped short of quitting: from now on the window's end is the
    // run's end.
    virtual void endWhenWindowCloses() = 0;

    // Hand-offs to the desktop, from any thread. Each tells whether the
    // desktop took the request.
    virtual bool openFile(const std::filesystem::path& file) = 0;
    virtual bool launchApplication(const std::filesystem::path& bundle) = 0;
    // Shows the item selected in a file browser; a courtesy, never fails.
    virtual void revealInFileViewer(const std::filesystem::path& item) = 0;

    // Ends the process with the status, or throws RunEnded.
    [[noreturn]] virtual void exitProcess(int status) = 0;
};

}  // namespace installer
