#include "platform/system/ProcessTermination.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "platform/system/Error.h"

namespace platform {

namespace {

constexpr std::uint64_t wakeId = 0;

thread_local bool onLoopThread = false;

}  // namespace

TerminationLoop& TerminationLoop::shared() {
    // Never destroyed: its thread must outlive every exit() call.
    static auto* loop = new TerminationLoop;
    return *loop;
}

bool TerminationLoop::isCurrentThread() {
    return onLoopThread;
}

TerminationLoop::TerminationLoop() {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) {
        throw SystemError("epoll_create1", errno);
    }
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0) {
        throw SystemError("eventfd", errno);
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = wakeId;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &event) < 0) {
        throw SystemError("epoll_ctl", errno);
    }
    std::thread([this] { run(); }).detach();
}

std::uint64_t TerminationLoop::watch(int fd, Callback onReadable) {
    std::uint64_t id;
    {
        std::lock_guard lock(mutex_);
        id = nextId_++;
        watched_.emplace(id, std::make_shared<Callback>(std::move(onReadable)));
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = id;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) < 0) {
        int error = errno;
        std::lock_guard lock(mutex_);
        watched_.erase(id);
        throw SystemError("epoll_ctl", error);
    }
    return id;
}

void TerminationLoop::unwatch(std::uint64_t id, int fd) {
    epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    std::lock_guard lock(mutex_);
    watched_.erase(id);
}

void TerminationLoop::post(Callback task) {
    bool wake;
    {
        std::lock_guard lock(mutex_);
        posted_.push_back(std::move(task));
        // The loop drains posted work before it sleeps again, so from its own
        // thread, or with a wake-up already pending, no signal is needed.
        wake = !onLoopThread && !wakePending_;
        if (wake) {
            wakePending_ = true;
        }
    }
    if (wake) {
        std::uint64_t one = 1;
        while (::write(wake_, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
}

void TerminationLoop::runPosted() {
    // Tasks may post further tasks; all of them run before the loop sleeps.
    for (;;) {
        std::vector<Callback> tasks;
        {
            std::lock_guard lock(mutex_);
            if (posted_.empty()) {
                return;
            }
            tasks.swap(posted_);
        }
        for (auto& task : tasks) {
            task();
        }
    }
}

void TerminationLoop::dispatch(std::uint64_t id) {
    std::shared_ptr<Callback> callback;
    {
        std::lock_guard lock(mutex_);
        auto found = watched_.find(id);
        if (found == watched_.end()) {
            return;
        }
        // Held by copy: the callback may unwatch itself while it runs.
        callback = found->second;
    }
    (*callback)();
}

void TerminationLoop::run() {
    onLoopThread = true;
    constexpr int capacity = 64;
    epoll_event events[capacity];
    for (;;) {
        runPosted();
        int count = epoll_wait(epoll_, events, capacity, -1);
        if (count < 0) {
            continue;  // EINTR
        }
        for (int i = 0; i < count; ++i) {
            std::uint64_t id = events[i].data.u64;
            if (id == wakeId) {
                std::uint64_t value;
                while (::read(wake_, &value, sizeof value) < 0 && errno == EINTR) {
                }
                std::lock_guard lock(mutex_);
                wakePending_ = false;
            } else {
                dispatch(id);
            }
        }
    }
}

}  // namespace platform
