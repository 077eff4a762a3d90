#include "platform/system/Dispatch.h"

#include <algorithm>
#include <deque>
#include <system_error>
#include <thread>
#include <vector>

namespace platform {

namespace {

// Workers are started when every existing one is busy, up to the bound, and
// kept for later work, so the steady state starts no thread per task and a
// burst of tasks cannot start a thread each. The pool owns its threads for
// the life of the process.
class WorkerPool {
  public:
    // Room for every worker up front: keeping a started thread cannot fail.
    WorkerPool() { threads_.reserve(GlobalQueue::maximumWorkers()); }

    void submit(std::function<void()> work) {
        bool needWorker;
        {
            std::lock_guard lock(mutex_);
            tasks_.push_back(std::move(work));
            // Each queued task needs a waiting worker of its own.
            needWorker = tasks_.size() > idle_ && workers_ < GlobalQueue::maximumWorkers();
            if (needWorker) {
                ++workers_;
            }
        }
        if (!needWorker) {
            available_.notify_one();
            return;
        }
        try {
            std::thread worker([this] { serve(); });
            std::lock_guard lock(mutex_);
            threads_.push_back(std::move(worker));
        } catch (const std::system_error&) {
            std::lock_guard lock(mutex_);
            --workers_;
            // Without any worker the task could never run.
            if (workers_ == 0) {
                throw;
            }
        }
    }

  private:
    void serve() {
        std::unique_lock lock(mutex_);
        for (;;) {
            while (tasks_.empty()) {
                ++idle_;
                available_.wait(lock);
                --idle_;
            }
            auto task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
            task = nullptr;  // release captures outside the lock
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable available_;
    std::deque<std::function<void()>> tasks_;
    std::size_t idle_ = 0;
    std::size_t workers_ = 0;
    std::vector<std::thread> threads_;
};

WorkerPool& pool() {
    // Never destroyed: its threads must outlive every exit() call.
    static auto* shared = new WorkerPool;
    return *shared;
}

}  // namespace

GlobalQueue& GlobalQueue::shared() {
    static GlobalQueue queue;
    return queue;
}

std::size_t GlobalQueue::maximumWorkers() {
    // Once: the processor count is read from a file, and a busy pool asks on
    // every submission.
    static const std::size_t maximum =
        std::max<std::size_t>(4, 2 * std::thread::hardware_concurrency());
    return maximum;
}

void GlobalQueue::async(std::function<void()> work) {
    pool().submit(std::move(work));
}

void DispatchGroup::enter() {
    std::lock_guard lock(mutex_);
    ++outstanding_;
}

void DispatchGroup::leave() {
    std::lock_guard lock(mutex_);
    if (--outstanding_ == 0) {
        done_.notify_all();
    }
}

void DispatchGroup::wait() {
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] { return outstanding_ <= 0; });
}

void DispatchGroup::async(std::function<void()> work) {
    enter();
    GlobalQueue::shared().async([this, work = std::move(work)] {
        work();
        leave();
    });
}

}  // namespace platform
