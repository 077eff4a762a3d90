#include "platform/system/Process.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <mutex>
#include <utility>

#include "platform/system/Descriptor.h"
#include "platform/system/EventLoop.h"
#include "platform/system/ProcessSpawn.h"

namespace platform {

LaunchError::LaunchError(const std::string& executable, int errnum)
    : SystemError("Cannot launch '" + executable + "'", errnum), executable_(executable) {}

bool LaunchError::meansMissingExecutable(int errnum) noexcept {
    return errnum == ENOENT || errnum == ENOTDIR;
}

namespace {

enum class Phase { configured, launchFailed, running, ended };

constexpr int missingExecutableStatus = 127;
constexpr int unlaunchableStatus = 126;

int sourceDescriptor(const ProcessStream& stream, int standard, bool isInput) {
    if (const auto* handle = std::get_if<std::shared_ptr<FileHandle>>(&stream)) {
        return *handle ? (*handle)->descriptor() : standard;
    }
    const auto& pipe = std::get<std::shared_ptr<Pipe>>(stream);
    if (!pipe) {
        return standard;
    }
    return isInput ? pipe->readingEnd()->descriptor() : pipe->writingEnd()->descriptor();
}

// The parent's copy of the child's pipe end goes at once, so that readers see
// end of input when the child (the only other holder) ends.
void closeChildEnd(const ProcessStream& stream, bool isInput) {
    if (const auto* pipe = std::get_if<std::shared_ptr<Pipe>>(&stream); pipe && *pipe) {
        (isInput ? (*pipe)->readingEnd() : (*pipe)->writingEnd())->close();
    }
}

void waitReadable(int fd) {
    pollfd entry{fd, POLLIN, 0};
    while (::poll(&entry, 1, -1) < 0 && errno == EINTR) {
    }
}

}  // namespace

struct Process::State {
    std::mutex mutex;
    Phase phase = Phase::configured;
    int launchErrno = 0;
    pid_t pid = 0;
    Descriptor pidfd;           // from launch until this state goes
    std::uint64_t watchId = 0;  // 0: not watched by the event thread
    int status = 0;
    TerminationReason reason = TerminationReason::exit;
    std::function<void(Process&)> handler;

    bool signal(int number) {
        std::lock_guard lock(mutex);
        // A pidfd never names another process, even after the reaping.
        if (phase != Phase::running) {
            return false;
        }
        return ::syscall(SYS_pidfd_send_signal, pidfd.get(), number, nullptr, 0) == 0;
    }
};

std::shared_ptr<Process> Process::create(LaunchOptions options) {
    return std::shared_ptr<Process>(new Process(std::move(options)));
}

Process::Process(LaunchOptions options)
    : options_(std::move(options)), state_(std::make_unique<State>()) {}

Process::~Process() = default;

void Process::launch(EndWatch endWatch) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->phase != Phase::configured) {
            throw LaunchError(options_.executable.string(), EALREADY);
        }
    }
    const std::string path = std::filesystem::absolute(options_.executable).string();
    const std::string directory = options_.currentDirectory.string();
    const SpawnRequest request{path,
                               options_.arguments,
                               options_.environment,
                               directory,
                               {sourceDescriptor(options_.standardInput, 0, true),
                                sourceDescriptor(options_.standardOutput, 1, false),
                                sourceDescriptor(options_.standardError, 2, false)},
                               options_.ownProcessGroup};
    pid_t pid;
    try {
        pid = spawnChild(request);
    } catch (const SystemError& error) {
        std::lock_guard lock(state_->mutex);
        state_->phase = Phase::launchFailed;
        state_->launchErrno = dynamic_cast<const LaunchError*>(&error) ? error.errnum() : 0;
        throw;
    }
    closeChildEnd(options_.standardInput, true);
    closeChildEnd(options_.standardOutput, false);
    closeChildEnd(options_.standardError, false);

    // Our own unreaped child keeps its pid until we wait for it, so opening
    // the pidfd after the spawn cannot race with pid reuse.
    // Always close-on-exec.
    Descriptor pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    int failure = pidfd ? 0 : errno;
    std::unique_lock lock(state_->mutex);
    if (pidfd) {
        state_->pid = pid;
        state_->pidfd = std::move(pidfd);
        state_->phase = Phase::running;
        if (endWatch == EndWatch::caller) {
            return;
        }
        try {
            // Under the lock: an early event waits until the id is stored.
            // A pidfd becomes readable once, when its process ends.
            state_->watchId =
                EventLoop::shared().watch(state_->pidfd.get(), [self = shared_from_this()] {
                    self->finishIfEnded();
                    return self->isRunning() ? EventLoop::Outcome::idle
                                             : EventLoop::Outcome::finished;
                });
            return;
        } catch (const SystemError& error) {
            failure = error.errnum();
            state_->pidfd.reset();
        }
    }
    // Untracked children are not allowed: stop it and reap it here.
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    state_->phase = Phase::launchFailed;
    state_->launchErrno = failure;
    throw LaunchError(request.executable, failure);
}

void Process::finishIfEnded() {
    std::uint64_t watchId;
    bool hasHandler;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->phase != Phase::running) {
            return;
        }
        siginfo_t info{};
        int result;
        while ((result = ::waitid(P_PIDFD, state_->pidfd.get(), &info, WEXITED | WNOHANG)) < 0 &&
               errno == EINTR) {
        }
        if (result == 0 && info.si_pid == 0) {
            return;  // still running
        }
        if (result < 0) {
            // Reaped behind our back (a waitpid(-1) elsewhere): the status is lost.
            state_->reason = TerminationReason::exit;
            state_->status = -1;
        } else if (info.si_code == CLD_EXITED) {
            state_->reason = TerminationReason::exit;
            state_->status = info.si_status;
        } else {
            state_->reason = TerminationReason::uncaughtSignal;
            state_->status = info.si_status;
        }
        watchId = std::exchange(state_->watchId, 0);
        state_->phase = Phase::ended;
        // A handler installed from now on is posted by setExitHandler.
        hasHandler = static_cast<bool>(state_->handler);
    }
    // A run that nobody else watches ends without the event thread, which is
    // not even started for it.
    if (watchId != 0) {
        EventLoop::shared().unwatch(watchId);
    }
    if (hasHandler) {
        EventLoop::shared().post([self = shared_from_this()] { self->deliverTermination(); });
    }
}

void Process::deliverTermination() {
    std::function<void(Process&)> handler;
    {
        std::lock_guard lock(state_->mutex);
        handler.swap(state_->handler);
    }
    if (handler) {
        handler(*this);
    }
}

bool Process::isLaunched() const {
    std::lock_guard lock(state_->mutex);
    return state_->phase == Phase::running || state_->phase == Phase::ended;
}

bool Process::isRunning() const {
    std::lock_guard lock(state_->mutex);
    return state_->phase == Phase::running;
}

int Process::pid() const {
    std::lock_guard lock(state_->mutex);
    return state_->pid;
}

void Process::wait() {
    auto self = shared_from_this();  // unwatching drops the event thread's reference
    for (;;) {
        int pidfd;
        std::uint64_t watchId;
        {
            std::lock_guard lock(state_->mutex);
            if (state_->phase != Phase::running) {
                return;
            }
            pidfd = state_->pidfd.get();  // open as long as this process object
            watchId = std::exchange(state_->watchId, 0);
        }
        // This thread reaps the child now, so the event thread need not
        // wake for it: one hand-over between threads less on every run. It
        // also lets a termination handler wait for another child.
        if (watchId != 0) {
            EventLoop::shared().unwatch(watchId);
        }
        waitReadable(pidfd);
        finishIfEnded();
    }
}

bool Process::waitTakingInOutput(std::span<const std::shared_ptr<FileHandle>> outputs,
                                 bool untilEndOfOutputs,
                                 std::optional<std::chrono::steady_clock::time_point> deadline) {
    using Clock = std::chrono::steady_clock;
    auto self = shared_from_this();
    std::vector<std::shared_ptr<FileHandle>> open(outputs.begin(), outputs.end());
    std::vector<bool> busy(open.size(), false);
    for (;;) {
        int pidfd = -1;
        std::uint64_t watchId = 0;
        {
            std::lock_guard lock(state_->mutex);
            if (state_->phase == Phase::running) {
                pidfd = state_->pidfd.get();
                // Without a deadline this thread will see the end, so the
                // event thread need not; a wait that may run out
                // leaves the end to it.
                if (!deadline) {
                    watchId = std::exchange(state_->watchId, 0);
                }
            }
        }
        if (watchId != 0) {
            EventLoop::shared().unwatch(watchId);
        }
        for (std::size_t i = open.size(); i-- > 0;) {
            if (open[i]->descriptor() < 0) {  // closed by its owner: nothing more comes
                open.erase(open.begin() + static_cast<std::ptrdiff_t>(i));
                busy.erase(busy.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
        if (pidfd < 0 && (!untilEndOfOutputs || open.empty())) {
            return true;
        }
        std::array<pollfd, 8> entries{};
        std::vector<std::size_t> polled;
        bool someoneElseReads = false;
        for (std::size_t i = 0; i < open.size() && polled.size() + 1 < entries.size(); ++i) {
            if (busy[i]) {
                someoneElseReads = true;
                busy[i] = false;  // looked at again after the short wait below
                continue;
            }
            entries[polled.size()] = {open[i]->descriptor(), POLLIN, 0};
            polled.push_back(i);
        }
        std::size_t count = polled.size();
        if (pidfd >= 0) {
            entries[count++] = {pidfd, POLLIN, 0};
        }
        int timeout = -1;
        if (deadline) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
            if (left.count() <= 0) {
                return false;
            }
            timeout = static_cast<int>(std::min<long long>(left.count(), 1 << 30));
        }
        if (someoneElseReads) {
            // Their reads are not announced; look again soon.
            constexpr int recheck = 10;
            timeout = timeout < 0 ? recheck : std::min(timeout, recheck);
        }
        if (::poll(entries.data(), count, timeout) < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw SystemError("poll", errno);
        }
        std::vector<bool> ended(open.size(), false);
        for (std::size_t k = 0; k < polled.size(); ++k) {
            if (entries[k].revents == 0) {
                continue;
            }
            const std::size_t i = polled[k];
            if ((entries[k].revents & (POLLIN | POLLHUP)) == POLLHUP) {
                // Empty, and every writer has gone: nothing more to look at.
                ended[i] = true;
                continue;
            }
            switch (open[i]->setAsideAvailable()) {
                case FileHandle::SetAside::busy:
                    busy[i] = true;
                    break;
                case FileHandle::SetAside::ended:
                    ended[i] = true;
                    break;
                case FileHandle::SetAside::pending:
                    break;
            }
        }
        for (std::size_t i = open.size(); i-- > 0;) {
            if (ended[i]) {
                open.erase(open.begin() + static_cast<std::ptrdiff_t>(i));
                busy.erase(busy.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
        if (pidfd >= 0 && entries[count - 1].revents != 0) {
            finishIfEnded();
        }
    }
}

bool Process::waitFor(std::chrono::nanoseconds time) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(time);
    return waitTakingInOutput({}, false, deadline);
}

void Process::stop(std::chrono::nanoseconds grace) {
    auto signalChild = [this](int number) {
        std::lock_guard lock(state_->mutex);
        if (state_->phase != Phase::running) {
            return;
        }
        if (options_.ownProcessGroup) {
            // The group is named by the child's pid, which stays its own
            // until the child is reaped, after this lock is released.
            ::kill(-state_->pid, number);
        } else {
            ::syscall(SYS_pidfd_send_signal, state_->pidfd.get(), number, nullptr, 0);
        }
    };
    pid_t group = 0;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->phase != Phase::running && state_->phase != Phase::ended) {
            return;
        }
        group = state_->pid;
    }
    signalChild(SIGTERM);
    // Stopped children take SIGTERM only once they go on.
    signalChild(SIGCONT);
    if (!waitFor(grace)) {
        signalChild(SIGKILL);
        wait();
    }
    if (options_.ownProcessGroup) {
        // What the child left running in its group goes too.
        ::kill(-group, SIGKILL);
    }
}

int Process::exitStatus() {
    wait();
    std::lock_guard lock(state_->mutex);
    switch (state_->phase) {
        case Phase::ended:
            return state_->status;
        case Phase::launchFailed:
            return LaunchError::meansMissingExecutable(state_->launchErrno)
                       ? missingExecutableStatus
                       : unlaunchableStatus;
        default:
            return unlaunchableStatus;
    }
}

TerminationReason Process::exitReason() {
    wait();
    std::lock_guard lock(state_->mutex);
    return state_->phase == Phase::ended ? state_->reason : TerminationReason::exit;
}

void Process::terminate() {
    state_->signal(SIGTERM);
}

void Process::interrupt() {
    state_->signal(SIGINT);
}

bool Process::suspend() {
    return state_->signal(SIGSTOP);
}

bool Process::resume() {
    return state_->signal(SIGCONT);
}

void Process::setExitHandler(std::function<void(Process&)> handler) {
    bool hasEnded;
    {
        std::lock_guard lock(state_->mutex);
        state_->handler = std::move(handler);
        hasEnded = state_->phase == Phase::ended;
    }
    if (hasEnded) {
        // Installed after the end: the notification has passed, deliver anew.
        EventLoop::shared().post([self = shared_from_this()] { self->deliverTermination(); });
    }
}

}  // namespace platform
