#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace platform {

// The one process-termination thread: an epoll loop over the pidfds of running
// children plus an eventfd through which other threads post work to it.
// Created on first use and never destroyed, so exit() from any thread is safe.
class TerminationLoop {
  public:
    using Callback = std::function<void()>;

    static TerminationLoop& shared();
    // True on the loop's own thread.
    static bool isCurrentThread();

    // Calls onReadable on the loop thread while fd is readable (level
    // triggered) until unwatch. Returns the registration's id. Throws
    // SystemError.
    std::uint64_t watch(int fd, Callback onReadable);
    // Stops watching; fd must still be open. Stale events are dropped.
    void unwatch(std::uint64_t id, int fd);
    // Runs task on the loop thread after the events being handled now.
    void post(Callback task);

    TerminationLoop(const TerminationLoop&) = delete;
    TerminationLoop& operator=(const TerminationLoop&) = delete;

  private:
    TerminationLoop();
    void run();
    void runPosted();
    void dispatch(std::uint64_t id);

    int epoll_ = -1;
    int wake_ = -1;
    std::mutex mutex_;
    std::unordered_map<std::uint64_t, std::shared_ptr<Callback>> watched_;
    std::vector<Callback> posted_;
    std::uint64_t nextId_ = 1;
    bool wakePending_ = false;
};

}  // namespace platform
