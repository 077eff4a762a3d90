#pragma once

#include <cstdint>
#include <functional>

namespace platform {

// The one thread that watches file descriptors for readability on behalf of
// FileHandle (internal to the platform layer). Started on first use and never
// stopped, so exit() from any thread stays safe.
class ReadabilityLoop {
  public:
    // What a notification did, as told by the callback after it ran.
    enum class Outcome {
        idle,      // nothing was read: wait for new data before calling again
        consumed,  // something was read: call again while more can be read
        finished,  // end of input was reported: stop watching
    };
    using Callback = std::function<Outcome()>;

    static ReadabilityLoop& shared();

    // Starts watching fd and returns a registration id (never 0). The callback
    // runs on the loop thread, never concurrently with itself.
    std::uint64_t add(int fd, Callback callback);
    // Stops watching; the callback never starts again. Must be called while fd
    // is still open. Does not wait for a running callback.
    void remove(std::uint64_t id);
    // Returns once the callback of id is not running. Returns at once on the
    // loop thread itself, where nothing else can be running.
    void waitUntilNotRunning(std::uint64_t id);

    bool isLoopThread() const;

  private:
    ReadabilityLoop();
    struct State;
    State* state_;
};

}  // namespace platform
