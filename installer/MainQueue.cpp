#include "installer/MainQueue.h"

#include <QCoreApplication>
#include <QThread>

namespace installer {

struct MainQueue::Item {
    std::function<void()> work;
    bool done = false;
};

MainQueue& MainQueue::shared() {
    static auto* queue = new MainQueue;
    return *queue;
}

MainQueue::MainQueue() {
    moveToThread(QCoreApplication::instance()->thread());
}

bool MainQueue::isMainThread() const {
    return QThread::currentThread() == thread();
}

void MainQueue::sync(std::function<void()> work) {
    Item item{std::move(work), false};
    {
        std::lock_guard lock(mutex_);
        pending_.push_back(&item);
    }
    // The wake-up carries no data; the item travels through pending_.
    QMetaObject::invokeMethod(this, "drain", Qt::QueuedConnection);
    std::unique_lock lock(mutex_);
    finished_.wait(lock, [&] { return item.done; });
}

void MainQueue::runOnMainThread(const std::function<void()>& work) {
    if (isMainThread()) {
        work();
        return;
    }
    sync(work);
}

std::size_t MainQueue::pendingCount() {
    std::lock_guard lock(mutex_);
    return pending_.size();
}

void MainQueue::drain() {
    if (draining_) {
        return;  // an item is still running in a nested event loop
    }
    draining_ = true;
    for (;;) {
        Item* item = nullptr;
        {
            std::lock_guard lock(mutex_);
            if (pending_.empty()) {
                break;
            }
            item = pending_.front();
            pending_.pop_front();
        }
        item->work();
        {
            std::lock_guard lock(mutex_);
            item->done = true;
        }
        finished_.notify_all();
    }
    draining_ = false;
}

}  // namespace installer
