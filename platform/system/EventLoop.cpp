#include "platform/system/EventLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/system/Descriptor.h"
#include "platform/system/Error.h"

namespace platform {

namespace {

// epoll data of the wake-up eventfd; registration ids start at 1.
constexpr std::uint64_t wakeId = 0;

thread_local bool onLoopThread = false;

}  // namespace

struct EventLoop::State {
    struct Entry {
        int fd;
        bool pollable;
        std::shared_ptr<Watcher> watcher;
    };

    Descriptor epoll;
    Descriptor wakeUp;
    // Owned for the life of the process, like the loop itself.
    std::thread thread;

    std::mutex mutex;
    std::condition_variable notRunning;
    std::unordered_map<std::uint64_t, Entry> entries;
    // Watchers to call without waiting for epoll: descriptors that epoll
    // refuses, and watchers that just read and may find more.
    std::deque<std::uint64_t> ready;
    std::vector<Task> posted;
    std::uint64_t nextId = 1;
    std::uint64_t running = 0;
    bool wakePending = false;

    // Under the lock: whether the caller must write to the eventfd once the
    // lock is released. The loop looks at its queues before it sleeps, so
    // its own thread, or a wake-up already on its way, needs no other.
    bool needsWake() {
        if (onLoopThread || wakePending)
            return false;
        wakePending = true;
        return true;
    }

    void wake() const {
        const std::uint64_t one = 1;
        while (::write(wakeUp.get(), &one, sizeof one) < 0 && errno == EINTR) {
        }
    }

    void drainWake() {
        std::uint64_t count;
        while (::read(wakeUp.get(), &count, sizeof count) < 0 && errno == EINTR) {
        }
        // Only now: whatever was queued before this is looked at next round.
        std::lock_guard lock(mutex);
        wakePending = false;
    }

    void dispatch(std::uint64_t id) {
        std::shared_ptr<Watcher> watcher;
        {
            std::lock_guard lock(mutex);
            auto it = entries.find(id);
            if (it == entries.end())
                return;  // unwatched after epoll reported it
            running = id;
            watcher = it->second.watcher;
        }
        Outcome outcome;
        try {
            outcome = (*watcher)();
        } catch (...) {
            // A failing watcher would fail again on the same input.
            outcome = Outcome::finished;
        }
        // The watcher may own the last reference to a handle or a process,
        // whose destructor unwatches, taking this lock: every reference to
        // it is dropped outside the lock, this one and the entry's own.
        watcher.reset();
        std::shared_ptr<Watcher> finished;

        std::lock_guard lock(mutex);
        running = 0;
        notRunning.notify_all();
        auto it = entries.find(id);
        if (it == entries.end())
            return;
        switch (outcome) {
            case Outcome::finished:
                if (it->second.pollable)
                    ::epoll_ctl(epoll.get(), EPOLL_CTL_DEL, it->second.fd, nullptr);
                finished = std::move(it->second.watcher);
                entries.erase(it);
                break;
            case Outcome::consumed:
                ready.push_back(id);
                break;
            case Outcome::idle:
                break;
        }
    }

    void runPosted() {
        // Tasks may post further tasks; all of them run before the loop sleeps.
        for (;;) {
            std::vector<Task> tasks;
            {
                std::lock_guard lock(mutex);
                if (posted.empty())
                    return;
                tasks.swap(posted);
            }
            for (auto& task : tasks) {
                try {
                    task();
                } catch (...) {
                    // Nobody is left to tell; the loop must go on for the others.
                }
                task = nullptr;  // what it held goes now, not after the batch
            }
        }
    }

    void run() {
        onLoopThread = true;
        constexpr int capacity = 64;
        epoll_event events[capacity];
        for (;;) {
            runPosted();
            bool haveWork;
            {
                std::lock_guard lock(mutex);
                haveWork = !ready.empty() || !posted.empty();
            }
            const int count = ::epoll_wait(epoll.get(), events, capacity, haveWork ? 0 : -1);
            if (count < 0) {
                if (errno == EINTR)
                    continue;
                throw SystemError("epoll_wait", errno);
            }
            for (int i = 0; i < count; ++i) {
                if (events[i].data.u64 == wakeId) {
                    drainWake();
                } else {
                    dispatch(events[i].data.u64);
                }
            }
            std::deque<std::uint64_t> batch;
            {
                std::lock_guard lock(mutex);
                batch.swap(ready);
            }
            for (std::uint64_t id : batch)
                dispatch(id);
        }
    }
};

EventLoop& EventLoop::shared() {
    // Never destroyed: its thread outlives every static destructor.
    static auto* loop = new EventLoop;
    return *loop;
}

EventLoop::EventLoop() : state_(new State) {
    state_->epoll.reset(::epoll_create1(EPOLL_CLOEXEC));
    if (!state_->epoll)
        throw SystemError("epoll_create1", errno);
    state_->wakeUp.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!state_->wakeUp)
        throw SystemError("eventfd", errno);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = wakeId;
    if (::epoll_ctl(state_->epoll.get(), EPOLL_CTL_ADD, state_->wakeUp.get(), &event) < 0)
        throw SystemError("epoll_ctl", errno);
    state_->thread = std::thread([state = state_] { state->run(); });
}

std::uint64_t EventLoop::watch(int fd, Watcher watcher) {
    std::unique_lock lock(state_->mutex);
    const std::uint64_t id = state_->nextId++;
    // Edge-triggered: a watcher that leaves data unread is not called again
    // until more arrives. Watchers that read are called again through the
    // ready queue, which gives them level-triggered behaviour. Added under
    // the lock, so an early event waits until the entry is there.
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
    event.data.u64 = id;
    bool pollable = true;
    bool wake = false;
    if (::epoll_ctl(state_->epoll.get(), EPOLL_CTL_ADD, fd, &event) < 0) {
        if (errno != EPERM)
            throw SystemError("Could not watch file descriptor", errno);
        // Regular files and devices without readiness are always readable.
        pollable = false;
        state_->ready.push_back(id);
        wake = state_->needsWake();
    }
    state_->entries.emplace(
        id, State::Entry{fd, pollable, std::make_shared<Watcher>(std::move(watcher))});
    lock.unlock();
    if (wake)
        state_->wake();
    return id;
}

void EventLoop::unwatch(std::uint64_t id) {
    std::shared_ptr<Watcher> doomed;
    {
        std::lock_guard lock(state_->mutex);
        auto it = state_->entries.find(id);
        if (it == state_->entries.end())
            return;
        if (it->second.pollable)
            ::epoll_ctl(state_->epoll.get(), EPOLL_CTL_DEL, it->second.fd, nullptr);
        doomed = std::move(it->second.watcher);
        state_->entries.erase(it);
    }
    // doomed is destroyed here, outside the lock.
}

void EventLoop::waitUntilNotRunning(std::uint64_t id) {
    if (onLoopThread)
        return;
    std::unique_lock lock(state_->mutex);
    state_->notRunning.wait(lock, [&] { return state_->running != id; });
}

void EventLoop::post(Task task) {
    bool wake;
    {
        std::lock_guard lock(state_->mutex);
        state_->posted.push_back(std::move(task));
        wake = state_->needsWake();
    }
    if (wake)
        state_->wake();
}

}  // namespace platform
