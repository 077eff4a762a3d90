#pragma once

#include <functional>
#include <memory>

namespace platform::net {

// A queue that runs submitted work one item at a time, in order, on a thread
// of its own. The thread starts with the first item and is never joined: it
// ends by itself once the queue has been released and its work is done, so
// the queue may be released from its own thread and exit() stays safe.
class SerialQueue {
  public:
    SerialQueue();
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(std::function<void()> work);

  private:
    struct State;
    static void drain(const std::shared_ptr<State>& state);
    std::shared_ptr<State> state_;
};

}  // namespace platform::net
