#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "installer/engine/InstallView.h"

namespace installertest {

// A window that records what the install flow shows and hands off, as one
// line per event ("status TEXT", "alert STYLE|TITLE|MESSAGE|BUTTONS",
// "open PATH", "launch PATH", "reveal PATH", "later MS", "icon", "quit",
// "window stays", "exit STATUS"). The thread that makes it is the main
// thread; main-thread work from other threads runs on the calling thread,
// one item at a time. Alerts are dismissed with their first button at once.
// exitProcess throws RunEnded.
class FakeInstallView : public installer::InstallView {
  public:
    bool openAccepted = true;
    bool launchAccepted = true;
    // Called with each status text before it is shown; may throw.
    std::function<void(const std::string& text)> beforeStatus;

    std::vector<std::string> events() const;
    std::vector<double> progressValues() const;
    // Waits for the run's end (quit, window stays, exit); the last event.
    std::string waitForEnd();

    bool isMainThread() const override;
    void runOnMainThread(const std::function<void()>& work) override;
    void showStatus(const std::string& text) override;
    void showProgress(double value) override;
    void showIcon() override;
    int runAlert(const installer::Alert& alert) override;
    void runLater(std::chrono::milliseconds delay, std::function<void()> work) override;
    void quit() override;
    void endWhenWindowCloses() override;
    bool openFile(const std::filesystem::path& file) override;
    bool launchApplication(const std::filesystem::path& bundle) override;
    void revealInFileViewer(const std::filesystem::path& item) override;
    [[noreturn]] void exitProcess(int status) override;

  private:
    void record(std::string event, bool ends = false);

    const std::thread::id mainThread_ = std::this_thread::get_id();
    std::recursive_mutex mainThreadWork_;
    mutable std::mutex mutex_;
    std::condition_variable ended_;
    bool hasEnded_ = false;
    std::vector<std::string> events_;
    std::vector<double> progress_;
};

}  // namespace installertest
