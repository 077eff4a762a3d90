#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "platform/system/FileHandle.h"
#include "platform/system/Pipe.h"
#include "tests/platform/io/Support.h"
#include "tests/support/TemporaryDirectory.h"

using platform::FileHandle;
using platform::Pipe;

namespace {

// What a reading handler saw: the text, and how often it saw end of input.
struct Seen {
    std::mutex mutex;
    std::string text;
    iotest::Counter ends;
    iotest::Counter calls;

    std::function<void(FileHandle&)> reader() {
        return [this](FileHandle& handle) {
            calls.add();
            const auto data = handle.readAvailable();
            if (data.empty()) {
                ends.add();
                return;
            }
            std::lock_guard lock(mutex);
            text += iotest::text(data);
        };
    }
    std::string snapshot() {
        std::lock_guard lock(mutex);
        return text;
    }
};

// A pipe fed in two writes, and regular files, which the kernel cannot watch
// for readability: all of the data, then the end once, even for no data.
TEST(Readability, HandlerReadsEverythingAndSeesTheEndOnce) {
    testsupport::TemporaryDirectory dir;
    for (const std::size_t size : {std::size_t{0}, std::size_t{300 * 1024}, std::size_t{2 << 20}}) {
        for (const bool pipe : {true, false}) {
            SCOPED_TRACE(std::to_string(size) + (pipe ? " bytes through a pipe" : " in a file"));
            const std::string data = iotest::sampleText(size);
            std::ofstream(dir.path() / "file") << data;
            const auto through = Pipe::create();
            const auto handle =
                pipe ? through->readingEnd() : FileHandle::openForReading(dir.path() / "file");
            Seen seen;
            handle->setReadabilityHandler(seen.reader());
            if (pipe) {
                through->writingEnd()->write(data.substr(0, 10));
                through->writingEnd()->write(data.substr(std::min<std::size_t>(10, size)));
                through->writingEnd()->close();
            }
            seen.ends.waitFor(1);
            iotest::LoopRounds rounds;
            rounds.pass(10);
            EXPECT_EQ(seen.ends.value(), 1);
            EXPECT_TRUE(seen.snapshot() == data);
            handle->setReadabilityHandler({});
        }
    }
}

TEST(Readability, HandlerThatReadsNothingIsNotCalledOverAndOver) {
    iotest::LoopRounds rounds;
    const auto pipe = Pipe::create();
    iotest::Counter calls;
    pipe->readingEnd()->setReadabilityHandler([&](FileHandle&) { calls.add(); });

    pipe->writingEnd()->write(std::string_view("unread"));
    calls.waitFor(1);
    rounds.pass(50);
    const long afterData = calls.value();
    EXPECT_LE(afterData, 2);

    // End of input with the data still unread: not a reason to spin either.
    pipe->writingEnd()->close();
    rounds.pass(50);
    EXPECT_LE(calls.value(), afterData + 2);

    pipe->readingEnd()->setReadabilityHandler({});
}

TEST(Readability, ReplacedOrRemovedHandlerNeverRunsAgain) {
    iotest::LoopRounds rounds;
    const auto pipe = Pipe::create();
    const auto reading = pipe->readingEnd();
    iotest::Counter first;
    Seen second;
    reading->setReadabilityHandler([&](FileHandle& handle) {
        first.add();
        handle.readAvailable();
    });
    pipe->writingEnd()->write(std::string_view("a"));
    first.waitFor(1);
    reading->setReadabilityHandler(second.reader());
    const long firstCalls = first.value();
    pipe->writingEnd()->write(std::string_view("b"));
    second.calls.waitFor(1);
    reading->setReadabilityHandler({});
    const long secondCalls = second.calls.value();
    pipe->writingEnd()->write(std::string_view("c"));
    rounds.pass(20);
    EXPECT_EQ(first.value(), firstCalls);
    EXPECT_EQ(second.calls.value(), secondCalls);
    EXPECT_EQ(second.snapshot(), "b");
}

TEST(Readability, RemovalWaitsForTheRunningHandler) {
    const auto pipe = Pipe::create();
    const auto reading = pipe->readingEnd();
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};
    std::atomic<bool> finished{false};
    reading->setReadabilityHandler([&](FileHandle& handle) {
        entered = true;
        while (!release)
            std::this_thread::yield();
        handle.readAvailable();
        finished = true;
    });
    pipe->writingEnd()->write(std::string_view("x"));
    while (!entered)
        std::this_thread::yield();

    std::atomic<bool> removed{false};
    std::thread remover([&] {
        reading->close();
        // The handler read from the descriptor; it must be done by now.
        EXPECT_TRUE(finished.load());
        removed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let the remover block
    release = true;
    remover.join();
    EXPECT_TRUE(removed.load());
}

TEST(Readability, HandlerMayCloseOrReplaceItself) {
    const auto pipe = Pipe::create();
    const auto reading = pipe->readingEnd();
    iotest::Counter closed;
    reading->setReadabilityHandler([&](FileHandle& handle) {
        handle.readAvailable();
        handle.close();
        closed.add();
    });
    pipe->writingEnd()->write(std::string_view("x"));
    closed.waitFor(1);
    EXPECT_EQ(reading->descriptor(), -1);

    const auto other = Pipe::create();
    iotest::Counter replaced;
    other->readingEnd()->setReadabilityHandler([&](FileHandle& handle) {
        handle.setReadabilityHandler([&](FileHandle& h) {
            h.readAvailable();
            replaced.add();
        });
    });
    other->writingEnd()->write(std::string_view("y"));
    replaced.waitFor(1);
    other->readingEnd()->setReadabilityHandler({});
}

TEST(Readability, HandlerThatOwnsTheLastReferenceToItsHandleLetsItGoAtTheEnd) {
    // Fire and forget: only the handler keeps the reading end alive, and it
    // is destroyed, with the handle, once the input has ended.
    auto ended = std::make_shared<iotest::Counter>();
    {
        const auto pipe = Pipe::create();
        auto reading = pipe->readingEnd();
        reading->setReadabilityHandler([reading, ended](FileHandle& handle) {
            if (handle.readAvailable().empty())
                ended->add();
        });
        pipe->writingEnd()->write(std::string_view("last words"));
        pipe->writingEnd()->close();
    }
    ended->waitFor(1);
    // The loop still serves other handles (it would be stuck in the old
    // handle's destructor otherwise).
    iotest::LoopRounds rounds;
    rounds.pass(3);
}

TEST(Readability, ThrowingHandlerStopsBeingCalledWithoutEndingTheProcess) {
    iotest::LoopRounds rounds;
    const auto pipe = Pipe::create();
    iotest::Counter calls;
    pipe->readingEnd()->setReadabilityHandler([&](FileHandle& handle) {
        handle.readAvailable();
        calls.add();
        throw std::runtime_error("handler failed");
    });
    pipe->writingEnd()->write(std::string_view("one"));
    calls.waitFor(1);
    pipe->writingEnd()->write(std::string_view("two"));
    rounds.pass(20);
    EXPECT_EQ(calls.value(), 1);
    pipe->readingEnd()->setReadabilityHandler({});
}

TEST(Readability, HandlesDestroyedWhileWatchedNeverReachAReusedDescriptor) {
    // Each round watches a pipe, lets data flow and drops the handles while
    // the thread may be calling the handler. A reused descriptor number must
    // never bring an old handler back.
    auto calls = std::make_shared<std::atomic<long>>(0);
    for (int round = 0; round < 200; ++round) {
        auto pipe = Pipe::create();
        pipe->readingEnd()->setReadabilityHandler([calls](FileHandle& handle) {
            handle.readAvailable();
            ++*calls;
        });
        pipe->writingEnd()->write(std::string_view("data"));
        if (round % 2 == 0)
            pipe->writingEnd()->close();
        pipe.reset();
    }
    // A call under way when its pipe was dropped may still be finishing:
    // one round of the loop lets it end before counting.
    iotest::LoopRounds rounds;
    rounds.pass(1);
    const long before = calls->load();
    const auto fresh = Pipe::create();
    fresh->writingEnd()->write(std::string_view("fresh"));
    rounds.pass(20);
    EXPECT_EQ(calls->load(), before);
}

}  // namespace
