#include "platform/system/FileHandle.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>
#include <mutex>
#include <utility>

#include "platform/system/Error.h"
#include "platform/system/ReadabilityLoop.h"

namespace platform {

namespace {

constexpr std::size_t minimumReadSize = 64 * 1024;
constexpr std::size_t maximumReadSize = 4 * 1024 * 1024;

// Bytes that can be read without waiting, when the descriptor can tell.
std::optional<std::size_t> bytesAvailable(int fd) {
    int count = 0;
    if (::ioctl(fd, FIONREAD, &count) < 0 || count < 0)
        return std::nullopt;
    return static_cast<std::size_t>(count);
}

// Waits until fd is readable; used only for descriptors in non-blocking mode.
void waitReadable(int fd) {
    pollfd entry{fd, POLLIN, 0};
    while (::poll(&entry, 1, -1) < 0 && errno == EINTR) {
    }
}

// Keeps SIGPIPE from ending the process while one thread writes. Blocking the
// signal in this thread only, and taking back a SIGPIPE that the write raised,
// leaves the process-wide disposition alone.
class SigpipeBlocker {
  public:
    SigpipeBlocker() {
        sigemptyset(&pipeSignal_);
        sigaddset(&pipeSignal_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSignal_, &previous_);
        sigset_t pending;
        sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    }
    ~SigpipeBlocker() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    SigpipeBlocker(const SigpipeBlocker&) = delete;
    SigpipeBlocker& operator=(const SigpipeBlocker&) = delete;

    // After EPIPE: removes the signal our write raised, not one sent earlier.
    void discardRaisedSignal() {
        if (wasPending_)
            return;
        timespec zero{};
        while (sigtimedwait(&pipeSignal_, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }

  private:
    sigset_t pipeSignal_;
    sigset_t previous_;
    bool wasPending_ = false;
};

std::shared_ptr<FileHandle> openPath(const std::filesystem::path& path, int flags,
                                     const char* purpose) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        throw SystemError("Could not open '" + path.string() + "' for " + purpose, errno);
    }
    return FileHandle::adopt(fd);
}

}  // namespace

struct FileHandle::State {
    std::atomic<int> fd;
    bool owned;
    // Serialises close() and handler changes, never held while waiting.
    std::mutex control;
    bool closed = false;
    std::uint64_t registration = 0;
    // Counters that tell the readability loop what a handler did.
    std::atomic<std::uint64_t> reads{0};
    std::atomic<std::uint64_t> ends{0};

    State(int descriptor, bool ownsDescriptor) : fd(descriptor), owned(ownsDescriptor) {}

    int requireOpen(const char* operation) const {
        const int descriptor = fd.load();
        if (descriptor < 0)
            throw SystemError(operation, EBADF);
        return descriptor;
    }

    // Reads once into buffer, waiting if needed; counts data and end of input.
    std::size_t readOnce(int descriptor, std::byte* buffer, std::size_t size) {
        for (;;) {
            const ssize_t count = ::read(descriptor, buffer, size);
            if (count > 0) {
                reads.fetch_add(1);
                return static_cast<std::size_t>(count);
            }
            if (count == 0) {
                ends.fetch_add(1);
                return 0;
            }
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                waitReadable(descriptor);
                continue;
            }
            throw SystemError("read", errno);
        }
    }

    // Stops the readability callback; returns the registration to wait for.
    std::uint64_t detachHandler() {
        const std::uint64_t id = std::exchange(registration, 0);
        if (id != 0)
            ReadabilityLoop::shared().remove(id);
        return id;
    }

    void shut() {
        std::uint64_t id;
        {
            std::lock_guard lock(control);
            if (closed)
                return;
            closed = true;
            id = detachHandler();
        }
        // A handler running now may still read: close only after it is done.
        if (id != 0)
            ReadabilityLoop::shared().waitUntilNotRunning(id);
        const int descriptor = fd.exchange(-1);
        if (descriptor >= 0 && owned)
            ::close(descriptor);
    }
};

FileHandle::FileHandle(int fd, bool owned) : state_(std::make_unique<State>(fd, owned)) {}

FileHandle::~FileHandle() {
    // Descriptors 0-2 are never owned, so this only unwatches them.
    state_->shut();
}

std::shared_ptr<FileHandle> FileHandle::adopt(int fd) {
    return std::shared_ptr<FileHandle>(new FileHandle(fd, fd > STDERR_FILENO));
}

std::shared_ptr<FileHandle> FileHandle::standardInput() {
    // One handle per standard descriptor, as epoll allows one watch per fd.
    static auto* handle = new std::shared_ptr<FileHandle>(new FileHandle(STDIN_FILENO, false));
    return *handle;
}

std::shared_ptr<FileHandle> FileHandle::standardOutput() {
    static auto* handle = new std::shared_ptr<FileHandle>(new FileHandle(STDOUT_FILENO, false));
    return *handle;
}

std::shared_ptr<FileHandle> FileHandle::standardError() {
    static auto* handle = new std::shared_ptr<FileHandle>(new FileHandle(STDERR_FILENO, false));
    return *handle;
}

std::shared_ptr<FileHandle> FileHandle::nullDevice() {
    return openPath("/dev/null", O_RDWR, "reading and writing");
}

std::shared_ptr<FileHandle> FileHandle::forReadingAtPath(const std::filesystem::path& path) {
    return openPath(path, O_RDONLY, "reading");
}

std::shared_ptr<FileHandle> FileHandle::forWritingAtPath(const std::filesystem::path& path) {
    return openPath(path, O_WRONLY, "writing");
}

std::shared_ptr<FileHandle> FileHandle::memoryFile(std::span<const std::byte> contents) {
    const int fd = ::memfd_create("contents", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0)
        throw SystemError("memfd_create", errno);
    auto handle = adopt(fd);
    handle->write(contents);
    // Sealed, so whoever reads it (a child process too) sees exactly these bytes.
    if (::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) < 0) {
        throw SystemError("fcntl(F_ADD_SEALS)", errno);
    }
    if (::lseek(fd, 0, SEEK_SET) < 0)
        throw SystemError("lseek", errno);
    return handle;
}

int FileHandle::fileDescriptor() const noexcept {
    return state_->fd.load();
}

Bytes FileHandle::availableData() {
    const int fd = state_->requireOpen("read");
    const std::size_t size =
        std::clamp(bytesAvailable(fd).value_or(0), minimumReadSize, maximumReadSize);
    Bytes data(size);
    data.resize(state_->readOnce(fd, data.data(), data.size()));
    return data;
}

std::size_t FileHandle::read(std::span<std::byte> buffer) {
    const int fd = state_->requireOpen("read");
    return state_->readOnce(fd, buffer.data(), buffer.size());
}

Bytes FileHandle::readDataToEndOfFile() {
    const int fd = state_->requireOpen("read");
    // A regular file's size is known: one byte more lets the first read-back
    // of 0 come without growing the buffer.
    std::size_t capacity = minimumReadSize;
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0) {
        capacity = static_cast<std::size_t>(status.st_size) + 1;
    }
    Bytes data(capacity);
    std::size_t filled = 0;
    for (;;) {
        if (filled == data.size())
            data.resize(data.size() * 2);
        const std::size_t count = state_->readOnce(fd, data.data() + filled, data.size() - filled);
        if (count == 0)
            break;
        filled += count;
    }
    data.resize(filled);
    return data;
}

void FileHandle::write(std::span<const std::byte> data) {
    const int fd = state_->requireOpen("write");
    SigpipeBlocker blocker;
    while (!data.empty()) {
        const ssize_t count = ::write(fd, data.data(), data.size());
        if (count >= 0) {
            data = data.subspan(static_cast<std::size_t>(count));
            continue;
        }
        const int error = errno;
        if (error == EINTR)
            continue;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            pollfd entry{fd, POLLOUT, 0};
            while (::poll(&entry, 1, -1) < 0 && errno == EINTR) {
            }
            continue;
        }
        if (error == EPIPE)
            blocker.discardRaisedSignal();
        throw SystemError("write", error);
    }
}

void FileHandle::write(std::string_view text) {
    write(std::as_bytes(std::span<const char>(text.data(), text.size())));
}

std::uint64_t FileHandle::seekToEndOfFile() {
    const int fd = state_->requireOpen("lseek");
    const off_t offset = ::lseek(fd, 0, SEEK_END);
    if (offset < 0)
        throw SystemError("lseek", errno);
    return static_cast<std::uint64_t>(offset);
}

bool FileHandle::reservePipeCapacity(std::size_t bytes) {
    const int fd = state_->requireOpen("fcntl");
    const int capacity = ::fcntl(fd, F_GETPIPE_SZ);
    if (capacity < 0)
        return false;
    if (static_cast<std::size_t>(capacity) >= bytes)
        return true;
    if (bytes > static_cast<std::size_t>(INT_MAX))
        return false;
    const int raised = ::fcntl(fd, F_SETPIPE_SZ, static_cast<int>(bytes));
    return raised >= 0 && static_cast<std::size_t>(raised) >= bytes;
}

void FileHandle::close() {
    state_->shut();
}

void FileHandle::setReadabilityHandler(std::function<void(FileHandle&)> handler) {
    std::uint64_t previous;
    {
        std::lock_guard lock(state_->control);
        if (state_->closed)
            return;
        previous = state_->detachHandler();
        if (handler) {
            const int fd = state_->fd.load();
            struct stat status {};
            const bool regular = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
            auto callback = [weak = weak_from_this(), handler = std::move(handler),
                             regular]() -> ReadabilityLoop::Outcome {
                using Outcome = ReadabilityLoop::Outcome;
                const auto self = weak.lock();
                if (!self)
                    return Outcome::finished;
                const int descriptor = self->fileDescriptor();
                if (descriptor < 0)
                    return Outcome::finished;

                pollfd entry{descriptor, POLLIN | POLLRDHUP, 0};
                int ready;
                do {
                    ready = ::poll(&entry, 1, 0);
                } while (ready < 0 && errno == EINTR);
                if (ready <= 0)
                    return Outcome::idle;  // a stale wake-up: nothing to read
                if (entry.revents & POLLNVAL)
                    return Outcome::finished;
                const bool hungUp = entry.revents & (POLLHUP | POLLRDHUP | POLLERR);
                const bool atEnd = (hungUp || regular) && bytesAvailable(descriptor) == 0u;

                State& state = *self->state_;
                const std::uint64_t reads = state.reads.load();
                const std::uint64_t ends = state.ends.load();
                handler(*self);
                if (atEnd || state.ends.load() != ends)
                    return Outcome::finished;
                if (state.reads.load() != reads)
                    return Outcome::consumed;
                return Outcome::idle;
            };
            state_->registration = ReadabilityLoop::shared().add(fd, std::move(callback));
        }
    }
    if (previous != 0)
        ReadabilityLoop::shared().waitUntilNotRunning(previous);
}

}  // namespace platform
