#pragma once

#include <cstdint>
#include <functional>

namespace platform {

// The platform layer's one event thread: a single epoll loop that serves
// FileHandle readability handlers and the ends of launched children (their
// pidfds), and runs tasks posted to it. Started on first use and never
// stopped, so exit() from any thread stays safe.
//
// Everything it calls runs on that one thread, one call at a time: a slow
// callback delays the others but loses nothing, and a callback must never
// wait for another callback of this loop to run (it would wait for ever).
// An exception that escapes a callback is caught so that the loop goes on
// serving everyone else: the watch it came from ends, a task is dropped.
class EventLoop {
  public:
    // What a watcher did, as told by the watcher after it ran.
    enum class Outcome {
        idle,      // nothing more to do: call again once the descriptor is readable anew
        consumed,  // something was read: call again while more can be read
        finished,  // done: stop watching
    };
    using Watcher = std::function<Outcome()>;
    using Task = std::function<void()>;

    static EventLoop& shared();

    // Starts watching fd for readability (or end of input, or the end of a
    // pidfd's process) and returns a registration id, never 0. The watcher
    // runs when fd becomes readable, not over and over while it stays so.
    // Descriptors that epoll cannot watch (regular files) count as always
    // readable. Throws SystemError.
    std::uint64_t watch(int fd, Watcher watcher);
    // Stops watching; the watcher never starts again, and events already
    // taken from the kernel for it are dropped. fd must still be open.
    // Does not wait for a watcher that is running now.
    void unwatch(std::uint64_t id);
    // Returns once the watcher of id is not running. Returns at once on the
    // loop thread, where nothing else can be running.
    void waitUntilNotRunning(std::uint64_t id);
    // Runs task on the loop thread after the events being handled now.
    // Tasks run in the order posted.
    void post(Task task);

    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

  private:
    EventLoop();
    struct State;
    State* state_;
};

}  // namespace platform
