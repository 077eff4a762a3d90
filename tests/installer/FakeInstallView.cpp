#include "tests/installer/FakeInstallView.h"

#include <chrono>
#include <stdexcept>

namespace installertest {

std::vector<std::string> FakeInstallView::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

std::vector<double> FakeInstallView::progressValues() const {
    std::lock_guard lock(mutex_);
    return progress_;
}

std::string FakeInstallView::waitForEnd() {
    std::unique_lock lock(mutex_);
    // Bounds only a run that went wrong.
    if (!ended_.wait_for(lock, std::chrono::seconds(90), [this] { return hasEnded_; })) {
        throw std::runtime_error("the run did not end");
    }
    return events_.back();
}

void FakeInstallView::record(std::string event, bool ends) {
    {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
        hasEnded_ = hasEnded_ || ends;
    }
    if (ends) {
        ended_.notify_all();
    }
}

bool FakeInstallView::isMainThread() const {
    return std::this_thread::get_id() == mainThread_;
}

void FakeInstallView::runOnMainThread(const std::function<void()>& work) {
    std::lock_guard lock(mainThreadWork_);
    work();
}

void FakeInstallView::showStatus(const std::string& text) {
    if (beforeStatus) {
        beforeStatus(text);
    }
    record("status " + text);
}

void FakeInstallView::showProgress(double value) {
    std::lock_guard lock(mutex_);
    progress_.push_back(value);
}

void FakeInstallView::showIcon() {
    record("icon");
}

int FakeInstallView::runAlert(const installer::Alert& alert) {
    std::string buttons;
    for (const auto& button : alert.buttons) {
        buttons += (buttons.empty() ? "" : ",") + button;
    }
    record(std::string("alert ") +
           (alert.style == installer::AlertStyle::critical ? "critical" : "warning") + "|" +
           alert.messageText + "|" + alert.informativeText + "|" + buttons);
    return 0;
}

void FakeInstallView::runLater(std::chrono::milliseconds delay, std::function<void()> work) {
    record("later " + std::to_string(delay.count()));
    work();
}

void FakeInstallView::quit() {
    record("quit", true);
}

void FakeInstallView::endWhenWindowCloses() {
    record("window stays", true);
}

bool FakeInstallView::openFile(const std::filesystem::path& file) {
    record("open " + file.string());
    return openAccepted;
}

bool FakeInstallView::launchApplication(const std::filesystem::path& bundle) {
    record("launch " + bundle.string());
    return launchAccepted;
}

void FakeInstallView::revealInFileViewer(const std::filesystem::path& item) {
    record("reveal " + item.string());
}

void FakeInstallView::exitProcess(int status) {
    record("exit " + std::to_string(status), true);
    throw installer::RunEnded{status};
}

}  // namespace installertest
