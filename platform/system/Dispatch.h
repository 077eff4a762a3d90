#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>

namespace platform {

// The process-wide concurrent queue: a pool of worker threads started on
// first use. Work submitted here runs soon on one of them.
class GlobalQueue {
  public:
    static GlobalQueue& shared();
    void async(std::function<void()> work);
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
