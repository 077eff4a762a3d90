#include "platform/system/ReadabilityLoop.h"

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

#include "platform/system/Error.h"

namespace platform {

namespace {
// epoll data of the wake-up eventfd; registration ids start at 1.
constexpr std::uint64_t wakeId = 0;
}  // namespace

struct ReadabilityLoop::State {
    struct Entry {
        int fd;
        bool pollable;
        std::shared_ptr<Callback> callback;
    };

    int epollFd = -1;
    int wakeFd = -1;
    std::thread::id loopThread;

    std::mutex mutex;
    std::condition_variable notRunning;
    std::unordered_map<std::uint64_t, Entry> entries;
    // Registrations to call without waiting for epoll: handles that epoll
    // refuses (regular files, some devices) and handlers that just read and
    // may find more.
    std::deque<std::uint64_t> ready;
    std::uint64_t nextId = 1;
    std::uint64_t running = 0;

    void wake() const {
        const std::uint64_t one = 1;
        while (::write(wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }

    void drainWake() const {
        std::uint64_t count;
        while (::read(wakeFd, &count, sizeof count) < 0 && errno == EINTR) {
        }
    }

    void dispatch(std::uint64_t id) {
        std::shared_ptr<Callback> callback;
        {
            std::lock_guard lock(mutex);
            auto it = entries.find(id);
            if (it == entries.end())
                return;
            running = id;
            callback = it->second.callback;
        }
        Outcome outcome;
        try {
            outcome = (*callback)();
        } catch (...) {
            // A failing handler would fail again on the same input.
            outcome = Outcome::finished;
        }
        // The callback may own the last reference to a handle, whose
        // destructor takes this loop's lock: every reference to it is
        // dropped outside the lock, this one and the entry's own.
        callback.reset();
        std::shared_ptr<Callback> finishedCallback;

        std::lock_guard lock(mutex);
        running = 0;
        notRunning.notify_all();
        auto it = entries.find(id);
        if (it == entries.end())
            return;
        switch (outcome) {
            case Outcome::finished:
                if (it->second.pollable)
                    ::epoll_ctl(epollFd, EPOLL_CTL_DEL, it->second.fd, nullptr);
                finishedCallback = std::move(it->second.callback);
                entries.erase(it);
                break;
            case Outcome::consumed:
                ready.push_back(id);
                break;
            case Outcome::idle:
                break;
        }
    }

    void run() {
        constexpr int capacity = 64;
        epoll_event events[capacity];
        for (;;) {
            bool haveReady;
            {
                std::lock_guard lock(mutex);
                haveReady = !ready.empty();
            }
            const int count = ::epoll_wait(epollFd, events, capacity, haveReady ? 0 : -1);
            if (count < 0 && errno != EINTR)
                throw SystemError("epoll_wait", errno);
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

ReadabilityLoop& ReadabilityLoop::shared() {
    // Never destroyed: its thread outlives every static destructor.
    static auto* loop = new ReadabilityLoop;
    return *loop;
}

ReadabilityLoop::ReadabilityLoop() : state_(new State) {
    state_->epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    if (state_->epollFd < 0)
        throw SystemError("epoll_create1", errno);
    state_->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (state_->wakeFd < 0)
        throw SystemError("eventfd", errno);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = wakeId;
    if (::epoll_ctl(state_->epollFd, EPOLL_CTL_ADD, state_->wakeFd, &event) < 0) {
        throw SystemError("epoll_ctl", errno);
    }
    std::lock_guard lock(state_->mutex);
    std::thread thread([state = state_] { state->run(); });
    state_->loopThread = thread.get_id();
    thread.detach();
}

std::uint64_t ReadabilityLoop::add(int fd, Callback callback) {
    std::unique_lock lock(state_->mutex);
    const std::uint64_t id = state_->nextId++;
    // Edge-triggered: a handler that leaves data unread is not called again
    // until more arrives. Handlers that read are called again through the
    // ready queue, which gives them level-triggered behaviour.
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
    event.data.u64 = id;
    bool pollable = true;
    if (::epoll_ctl(state_->epollFd, EPOLL_CTL_ADD, fd, &event) < 0) {
        if (errno != EPERM)
            throw SystemError("Could not watch file descriptor", errno);
        // Regular files and devices without readiness are always readable.
        pollable = false;
        state_->ready.push_back(id);
    }
    state_->entries.emplace(
        id, State::Entry{fd, pollable, std::make_shared<Callback>(std::move(callback))});
    lock.unlock();
    if (!pollable)
        state_->wake();
    return id;
}

void ReadabilityLoop::remove(std::uint64_t id) {
    std::shared_ptr<Callback> doomed;
    {
        std::lock_guard lock(state_->mutex);
        auto it = state_->entries.find(id);
        if (it == state_->entries.end())
            return;
        if (it->second.pollable)
            ::epoll_ctl(state_->epollFd, EPOLL_CTL_DEL, it->second.fd, nullptr);
        doomed = std::move(it->second.callback);
        state_->entries.erase(it);
    }
    // doomed is destroyed here, outside the lock.
}

void ReadabilityLoop::waitUntilNotRunning(std::uint64_t id) {
    std::unique_lock lock(state_->mutex);
    if (std::this_thread::get_id() == state_->loopThread)
        return;
    state_->notRunning.wait(lock, [&] { return state_->running != id; });
}

bool ReadabilityLoop::isLoopThread() const {
    std::lock_guard lock(state_->mutex);
    return std::this_thread::get_id() == state_->loopThread;
}

}  // namespace platform
