#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

#include <QObject>

namespace installer {

// The application's main queue: a serial queue whose work runs on the Qt main
// thread. An item that opens a nested event loop (a modal alert) keeps the
// queue busy until it returns, so work submitted meanwhile waits behind it.
// Work and completion pass between threads under a standard mutex only, so
// the hand-off is visible to thread checkers.
class MainQueue : public QObject {
    Q_OBJECT
  public:
    // Created on first use (after the QApplication) and never destroyed, so
    // threads still waiting on it when the process ends find it alive.
    static MainQueue& shared();

    bool isMainThread() const;
    // Runs work on the main thread and returns once it has run. Must not be
    // called on the main thread.
    void sync(std::function<void()> work);
    // Runs work on the main thread: at once when called there (queuing would
    // wait for ourselves), through sync from any other thread.
    void runOnMainThread(const std::function<void()>& work);
    // Work submitted and not yet started.
    std::size_t pendingCount();

  private:
    MainQueue();
    Q_INVOKABLE void drain();

    struct Item;
    std::mutex mutex_;
    std::condition_variable finished_;
    std::deque<Item*> pending_;
    bool draining_ = false;  // main thread only
};

}  // namespace installer
