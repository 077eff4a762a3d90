#include "platform/net/SerialQueue.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace platform::net {

struct SerialQueue::State {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::function<void()>> work;
    bool threadStarted = false;
    bool released = false;
};

void SerialQueue::drain(const std::shared_ptr<State>& state) {
    std::unique_lock lock(state->mutex);
    for (;;) {
        state->changed.wait(lock, [&] { return !state->work.empty() || state->released; });
        if (state->work.empty()) {
            return;
        }
        std::function<void()> item = std::move(state->work.front());
        state->work.pop_front();
        lock.unlock();
        item();
        // The item's captures go before the lock is taken again: releasing
        // them may release this queue.
        item = nullptr;
        lock.lock();
    }
}

SerialQueue::SerialQueue() : state_(std::make_shared<State>()) {}

SerialQueue::~SerialQueue() {
    std::lock_guard lock(state_->mutex);
    state_->released = true;
    state_->changed.notify_all();
}

void SerialQueue::async(std::function<void()> work) {
    std::lock_guard lock(state_->mutex);
    state_->work.push_back(std::move(work));
    if (!state_->threadStarted) {
        std::thread([state = state_] { drain(state); }).detach();
        state_->threadStarted = true;
    }
    state_->changed.notify_one();
}

}  // namespace platform::net
