#include "platform/system/FileHandle.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <utility>

#include "platform/system/Error.h"
#include "platform/system/EventLoop.h"
#include "platform/system/StandardDescriptors.h"

namespace platform {

namespace {

// Before main, so before this layer has made any descriptor of its own;
// every program that makes descriptors through this layer links this file.
[[maybe_unused]] const bool standardDescriptorsReserved = (reserveStandardDescriptors(), true);

constexpr std::size_t minimumReadSize = 64 * 1024;
constexpr std::size_t maximumReadSize = 4 * 1024 * 1024;

// Bytes that can be read without waiting, when the descriptor can tell.
std::optional<std::size_t> bytesAvailable(int fd) {
    int count = 0;
    if (::ioctl(fd, FIONREAD, &count) < 0 || count < 0)
        return std::nullopt;
    return static_cast<std::size_t>(count);
}

// The capacity a pipe being read to its end is raised to: bigger pipes stop
// paying at about 1 MiB, and more than /proc/sys/fs/pipe-max-size is refused.
std::size_t largePipeCapacity() {
    static const std::size_t capacity = [] {
        constexpr std::size_t wanted = 1024 * 1024;
        std::size_t limit = wanted;
        const Descriptor fd(::open("/proc/sys/fs/pipe-max-size", O_RDONLY | O_CLOEXEC));
        if (fd) {
            char text[32] = {};
            if (::read(fd.get(), text, sizeof text - 1) > 0) {
                limit = std::strtoull(text, nullptr, 10);
            }
        }
        return std::min(wanted, limit);
    }();
    return capacity;
}

// Asks for transparent huge pages on the 2 MiB-aligned part of a buffer, so
// that filling it takes one page fault per 2 MiB instead of one per 4 KiB;
// on this kind of machine the faults cost more than the copying. Only advice:
// where huge pages are off or cannot be had, nothing changes.
void adviseHugePages(std::byte* data, std::size_t size) {
    constexpr std::uintptr_t hugePage = 2 * 1024 * 1024;
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t begin = (start + hugePage - 1) & ~(hugePage - 1);
    const std::uintptr_t end = (start + size) & ~(hugePage - 1);
    if (end > begin) {
        ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    }
}

// Makes room for `extra` more bytes at the end of `data`. A growing buffer
// takes four times its capacity (twice past 1 GiB), so that the bytes copied
// on growing stay a third of the total; buffers of 4 MiB and more are
// advised to use huge pages before their memory is first touched.
void makeRoom(Bytes& data, std::size_t extra) {
    if (data.capacity() - data.size() >= extra) {
        return;
    }
    constexpr std::size_t large = 4 * 1024 * 1024;
    constexpr std::size_t quadrupleUpTo = std::size_t{1} << 30;
    const std::size_t grown = data.capacity() * (data.capacity() < quadrupleUpTo ? 4 : 2);
    const std::size_t capacity = std::max(data.size() + extra, grown);
    if (capacity < large) {
        data.reserve(capacity);
        return;
    }
    Bytes bigger;
    bigger.reserve(capacity);
    adviseHugePages(bigger.data(), bigger.capacity());
    bigger.insert(bigger.end(), data.begin(), data.end());
    data.swap(bigger);
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
    Descriptor fd;
    do {
        fd.reset(::open(path.c_str(), flags | O_CLOEXEC));
    } while (!fd && errno == EINTR);
    if (!fd) {
        throw SystemError("Could not open '" + path.string() + "' for " + purpose, errno);
    }
    return FileHandle::adopt(std::move(fd));
}

}  // namespace

struct FileHandle::State {
    // What reads and writes use; -1 once closed. Atomic, as close() may come
    // from another thread than a read under way.
    std::atomic<int> fd;
    // Empty for the standard descriptors, which are never closed.
    Descriptor owner;
    // Serialises close() and handler changes, never held while waiting.
    std::mutex control;
    bool closed = false;
    std::uint64_t registration = 0;
    // Held by every read, so that taking in output for later
    // (setAsideAvailable) never takes bytes from under a reader.
    std::mutex reading;
    // Bytes taken in for later; the next reads return them first.
    Bytes setAside;
    std::size_t setAsideFrom = 0;
    bool widened = false;
    // Counters that tell the event loop what a handler did.
    std::atomic<std::uint64_t> reads{0};
    std::atomic<std::uint64_t> ends{0};

    State(int descriptor, Descriptor ownedDescriptor)
        : fd(descriptor), owner(std::move(ownedDescriptor)) {}

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

    bool hasSetAside() const noexcept { return setAside.size() > setAsideFrom; }

    Bytes takeSetAside() {
        Bytes taken;
        if (setAsideFrom == 0) {
            taken.swap(setAside);
        } else {
            taken.assign(setAside.begin() + static_cast<std::ptrdiff_t>(setAsideFrom),
                         setAside.end());
            Bytes().swap(setAside);
        }
        setAsideFrom = 0;
        return taken;
    }

    std::size_t copySetAside(std::span<std::byte> buffer) {
        const std::size_t count = std::min(buffer.size(), setAside.size() - setAsideFrom);
        std::copy_n(setAside.begin() + static_cast<std::ptrdiff_t>(setAsideFrom), count,
                    buffer.begin());
        setAsideFrom += count;
        if (setAsideFrom == setAside.size()) {
            Bytes().swap(setAside);
            setAsideFrom = 0;
        }
        return count;
    }

    // Stops the readability callback; returns the registration to wait for.
    std::uint64_t detachHandler() {
        const std::uint64_t id = std::exchange(registration, 0);
        if (id != 0)
            EventLoop::shared().unwatch(id);
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
            EventLoop::shared().waitUntilNotRunning(id);
        fd.store(-1);
        owner.reset();
    }
};

FileHandle::FileHandle(int fd, Descriptor owner)
    : state_(std::make_unique<State>(fd, std::move(owner))) {}

FileHandle::~FileHandle() {
    // The standard descriptors have no owner, so this only unwatches them.
    state_->shut();
}

std::shared_ptr<FileHandle> FileHandle::adopt(Descriptor fd) {
    const int number = fd.get();
    if (number <= STDERR_FILENO) {
        fd.release();  // a standard descriptor stays open for the whole process
    }
    return std::shared_ptr<FileHandle>(new FileHandle(number, std::move(fd)));
}

std::shared_ptr<FileHandle> FileHandle::standardInput() {
    // One handle per standard descriptor, as epoll allows one watch per fd.
    static auto* handle =
        new std::shared_ptr<FileHandle>(new FileHandle(STDIN_FILENO, Descriptor()));
    return *handle;
}

std::shared_ptr<FileHandle> FileHandle::standardOutput() {
    static auto* handle =
        new std::shared_ptr<FileHandle>(new FileHandle(STDOUT_FILENO, Descriptor()));
    return *handle;
}

std::shared_ptr<FileHandle> FileHandle::standardError() {
    static auto* handle =
        new std::shared_ptr<FileHandle>(new FileHandle(STDERR_FILENO, Descriptor()));
    return *handle;
}

std::shared_ptr<FileHandle> FileHandle::nullDevice() {
    return openPath("/dev/null", O_RDWR, "reading and writing");
}

std::shared_ptr<FileHandle> FileHandle::openForReading(const std::filesystem::path& path) {
    return openPath(path, O_RDONLY, "reading");
}

std::shared_ptr<FileHandle> FileHandle::openForWriting(const std::filesystem::path& path) {
    return openPath(path, O_WRONLY, "writing");
}

std::shared_ptr<FileHandle> FileHandle::memoryFile(std::span<const std::byte> contents) {
    Descriptor file(::memfd_create("contents", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!file)
        throw SystemError("memfd_create", errno);
    const int fd = file.get();
    auto handle = adopt(std::move(file));
    handle->write(contents);
    // Sealed, so whoever reads it (a child process too) sees exactly these bytes.
    if (::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) < 0) {
        throw SystemError("fcntl(F_ADD_SEALS)", errno);
    }
    if (::lseek(fd, 0, SEEK_SET) < 0)
        throw SystemError("lseek", errno);
    return handle;
}

int FileHandle::descriptor() const noexcept {
    return state_->fd.load();
}

Bytes FileHandle::readAvailable() {
    std::lock_guard reading(state_->reading);
    if (state_->hasSetAside()) {
        return state_->takeSetAside();
    }
    const int fd = state_->requireOpen("read");
    const std::size_t size =
        std::clamp(bytesAvailable(fd).value_or(0), minimumReadSize, maximumReadSize);
    Bytes data(size);
    data.resize(state_->readOnce(fd, data.data(), data.size()));
    if (data.size() < size / 2) {
        // A short read must not keep the whole buffer: callers keep chunks.
        data.shrink_to_fit();
    }
    return data;
}

std::size_t FileHandle::read(std::span<std::byte> buffer) {
    std::lock_guard reading(state_->reading);
    if (state_->hasSetAside() && !buffer.empty()) {
        return state_->copySetAside(buffer);
    }
    const int fd = state_->requireOpen("read");
    return state_->readOnce(fd, buffer.data(), buffer.size());
}

Bytes FileHandle::readAll() {
    std::lock_guard reading(state_->reading);
    Bytes data = state_->takeSetAside();
    const int fd = state_->requireOpen("read");
    // Read through a small buffer that stays in the cache: the bytes cannot
    // go straight into the vector's spare capacity (it would have to be
    // zero-filled first), and an output that ends at once, the common case,
    // costs no allocation and no further system call.
    std::array<std::byte, minimumReadSize> chunk;
    std::size_t count = state_->readOnce(fd, chunk.data(), chunk.size());
    if (count == 0) {
        return data;
    }
    struct stat status {};
    const bool file = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    if (file) {
        // Its size is known, so room for all of it is made at once.
        makeRoom(data, std::max(count, static_cast<std::size_t>(status.st_size)));
    }
    bool widened = false;
    do {
        if (!file && !widened && count == chunk.size()) {
            // A pipe that fills the buffer has more to come: a larger pipe
            // lets its writer and this reader take turns less often. Only
            // now, so that short outputs pay nothing for it.
            reservePipeCapacity(largePipeCapacity());
            widened = true;
        }
        makeRoom(data, count);
        data.insert(data.end(), chunk.begin(), chunk.begin() + count);
        count = state_->readOnce(fd, chunk.data(), chunk.size());
    } while (count != 0);
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

FileHandle::SetAside FileHandle::setAsideAvailable() {
    std::unique_lock reading(state_->reading, std::try_to_lock);
    if (!reading.owns_lock()) {
        return SetAside::busy;
    }
    {
        std::lock_guard lock(state_->control);
        if (state_->registration != 0) {
            return SetAside::busy;
        }
    }
    const int fd = state_->fd.load();
    if (fd < 0) {
        return SetAside::ended;
    }
    // Only what the pipe holds now is read, so no read waits, and the
    // descriptor keeps its mode: a child given it later sees nothing of this.
    std::size_t available = bytesAvailable(fd).value_or(0);
    if (available == 0) {
        pollfd entry{fd, POLLIN, 0};
        while (::poll(&entry, 1, 0) < 0 && errno == EINTR) {
        }
        // Readable with nothing in it: every writer has gone.
        const bool hungUp = entry.revents & (POLLHUP | POLLERR | POLLNVAL);
        return hungUp && bytesAvailable(fd).value_or(0) == 0 ? SetAside::ended : SetAside::pending;
    }
    if (available >= minimumReadSize && !state_->widened) {
        // As when reading to the end: a writer with more to say takes turns
        // with this reader less often through a larger pipe.
        reservePipeCapacity(largePipeCapacity());
        state_->widened = true;
    }
    Bytes& data = state_->setAside;
    makeRoom(data, available);
    std::array<std::byte, minimumReadSize> chunk;
    while (available > 0) {
        const ssize_t count = ::read(fd, chunk.data(), std::min(available, chunk.size()));
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            throw SystemError("read", errno);
        }
        if (count == 0) {
            return SetAside::ended;
        }
        data.insert(data.end(), chunk.begin(), chunk.begin() + count);
        available -= static_cast<std::size_t>(count);
    }
    return SetAside::pending;
}

Bytes FileHandle::takeSetAside() {
    std::lock_guard reading(state_->reading);
    return state_->takeSetAside();
}

std::uint64_t FileHandle::seekToEnd() {
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
                             regular]() -> EventLoop::Outcome {
                using Outcome = EventLoop::Outcome;
                const auto self = weak.lock();
                if (!self)
                    return Outcome::finished;
                const int descriptor = self->descriptor();
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
            state_->registration = EventLoop::shared().watch(fd, std::move(callback));
        }
    }
    if (previous != 0)
        EventLoop::shared().waitUntilNotRunning(previous);
}

}  // namespace platform
