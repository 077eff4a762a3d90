#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "platform/system/Error.h"
#include "platform/system/FileHandle.h"
#include "platform/system/Pipe.h"
#include "tests/platform/io/Support.h"
#include "tests/support/TemporaryDirectory.h"

using platform::FileHandle;
using platform::Pipe;
using platform::SystemError;

namespace {

bool isOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

template <class F>
int errnumOf(F&& f) {
    try {
        f();
    } catch (const SystemError& error) {
        return error.errnum();
    }
    return 0;
}

TEST(FileHandle, EveryHandleItMakesIsCloseOnExec) {
    testsupport::TemporaryDirectory dir;
    std::ofstream(dir.path() / "file") << "x";
    const auto pipe = Pipe::create();
    const std::pair<const char*, std::shared_ptr<FileHandle>> handles[] = {
        {"pipe", pipe->readingEnd()},
        {"null device", FileHandle::nullDevice()},
        {"file for reading", FileHandle::openForReading(dir.path() / "file")},
        {"file for writing", FileHandle::openForWriting(dir.path() / "file")},
        {"memory file", FileHandle::memoryFile(iotest::bytes("abc"))},
    };
    for (const auto& [name, handle] : handles) {
        EXPECT_TRUE(::fcntl(handle->descriptor(), F_GETFD) & FD_CLOEXEC) << name;
    }
}

extern "C" void ignoreSignal(int) {}

TEST(FileHandle, InterruptedReadsAndWritesCarryOn) {
    // A handler installed without SA_RESTART makes blocked read() and write()
    // fail with EINTR; the handle must go on as if nothing happened.
    struct sigaction action {};
    action.sa_handler = ignoreSignal;
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);

    const std::string data = iotest::sampleText(4 * 1024 * 1024);
    const auto pipe = Pipe::create();
    std::atomic<bool> done{false};
    std::string received;
    std::thread reader([&] { received = iotest::text(pipe->readingEnd()->readAll()); });
    std::thread writer([&] {
        pipe->writingEnd()->write(data);
        pipe->writingEnd()->close();
        done = true;
    });
    const pthread_t targets[] = {reader.native_handle(), writer.native_handle()};
    int sent = 0;
    while (!done) {
        for (const pthread_t target : targets)
            ::pthread_kill(target, SIGUSR1);
        ++sent;
        std::this_thread::yield();
    }
    writer.join();
    reader.join();
    ::sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_GT(sent, 0);
    EXPECT_TRUE(received == data);
}

TEST(FileHandle, WritingToAPipeWithoutReaderThrowsEPIPEInsteadOfKillingTheProcess) {
    const auto pipe = Pipe::create();
    pipe->readingEnd()->close();
    EXPECT_EQ(errnumOf([&] { pipe->writingEnd()->write(std::string_view("lost")); }), EPIPE);

    // The signal the write raised is gone, and the thread's mask is as before.
    sigset_t pending;
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE));
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    EXPECT_FALSE(sigismember(&mask, SIGPIPE));
}

TEST(FileHandle, DestructionClosesOwnedDescriptorsButNeverTheStandardOnes) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    { auto handle = FileHandle::adopt(platform::Descriptor(fds[0])); }
    EXPECT_FALSE(isOpen(fds[0]));
    auto closed = FileHandle::adopt(platform::Descriptor(fds[1]));
    closed->close();
    closed->close();  // a second close does nothing
    EXPECT_EQ(closed->descriptor(), -1);
    EXPECT_FALSE(isOpen(fds[1]));
    EXPECT_EQ(errnumOf([&] { closed->readAvailable(); }), EBADF);
    EXPECT_EQ(errnumOf([&] { closed->write(std::string_view("x")); }), EBADF);

    for (int standard : {0, 1, 2}) {
        { auto handle = FileHandle::adopt(platform::Descriptor(standard)); }
        EXPECT_TRUE(isOpen(standard)) << standard;
    }
}

}  // namespace
