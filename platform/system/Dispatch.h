#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>

namespace platform {

// The process-wide concurrent queue: a pool of worker threads started on
// first use, at most maximumWorkers() of them. Work submitted here runs on
// one of them in the order submitted; when all are busy it waits its turn,
// so tasks must not wait for tasks submitted after them.
class GlobalQueue {
  public:
    static GlobalQueue& shared();
    void async(std::function<void()> work);
    // Twice the processors, and at least four.
    static std::size_t maximumWorkers();
};

// Counts outstanding work; wait() returns once every enter() has been
// matched by a leave().
class DispatchGroup {
  public:
    void enter();
    void leave();
    void wait();
    // async on the global queue, entered in this group.
    void async(std::function<void()> work);

  private:
    std::mutex mutex_;
    std::condition_variable done_;
    int outstanding_ = 0;
};

}  // namespace platform
