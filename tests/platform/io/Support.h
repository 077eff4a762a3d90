#pragma once

// Helpers shared by the tests of descriptors, streams, transfers and
// signatures: bytes as text and back, and waiting on the event thread.

#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "platform/system/FileHandle.h"
#include "platform/system/Pipe.h"

namespace iotest {

// A count that other threads raise and the test waits on, without deadlines.
class Counter {
  public:
    void add(long amount = 1) {
        std::lock_guard lock(mutex_);
        value_ += amount;
        changed_.notify_all();
    }
    long value() const {
        std::lock_guard lock(mutex_);
        return value_;
    }
    void waitFor(long atLeast) const {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return value_ >= atLeast; });
    }

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    long value_ = 0;
};

// Proves that the event thread has gone round its loop: each pass
// writes one byte to a watched pipe and waits until the handler has read it.
// A handle that the loop would call on every round (a spinning handler) is
// called at least once per pass.
class LoopRounds {
  public:
    LoopRounds() : pipe_(platform::Pipe::create()), counter_(std::make_shared<Counter>()) {
        pipe_->readingEnd()->setReadabilityHandler(
            [counter = counter_](platform::FileHandle& handle) {
                counter->add(static_cast<long>(handle.readAvailable().size()));
            });
    }
    ~LoopRounds() { pipe_->readingEnd()->setReadabilityHandler({}); }

    void pass(int rounds) {
        for (int i = 0; i < rounds; ++i) {
            pipe_->writingEnd()->write(std::string_view("."));
            counter_->waitFor(++written_);
        }
    }

  private:
    std::shared_ptr<platform::Pipe> pipe_;
    std::shared_ptr<Counter> counter_;
    long written_ = 0;
};

inline std::string text(std::span<const std::byte> bytes) {
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

inline platform::Bytes bytes(std::string_view text) {
    const auto* first = reinterpret_cast<const std::byte*>(text.data());
    return platform::Bytes(first, first + text.size());
}

// Text of `size` bytes in lines of varying length, the same every time.
inline std::string sampleText(std::size_t size) {
    std::string result;
    result.reserve(size);
    unsigned state = 12345;
    while (result.size() < size) {
        state = state * 1103515245 + 12345;
        const std::size_t length =
            std::min<std::size_t>(1 + (state >> 16) % 100, size - result.size());
        result.append(length, static_cast<char>('a' + state % 26));
        if (result.size() < size)
            result += '\n';
    }
    return result;
}

}  // namespace iotest
