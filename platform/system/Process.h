#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/system/Error.h"
#include "platform/system/FileHandle.h"
#include "platform/system/LaunchOptions.h"

namespace platform {

enum class TerminationReason { exit, uncaughtSignal };

// The executable could not be started: carries errno from the exec attempt.
class LaunchError : public SystemError {
  public:
    LaunchError(const std::string& executable, int errnum);
    const std::string& executable() const noexcept { return executable_; }
    // Nothing to run at the path: no such file, or a directory part of the
    // path is a file.
    static bool meansMissingExecutable(int errnum) noexcept;
    bool executableIsMissing() const noexcept { return meansMissingExecutable(errnum()); }

  private:
    std::string executable_;
};

// One child process: created with its launch options, launched at most
// once, then ended.
// Children are spawned with posix_spawn, receive exactly descriptors 0-2,
// and are tracked with a pidfd by the platform's event thread (EventLoop),
// which reaps them (waitid P_PIDFD) unless a waiting thread got there first,
// and runs termination handlers. No SIGCHLD handler is installed and no other
// child is ever reaped. The pidfd is held until the object goes.
class Process : public std::enable_shared_from_this<Process> {
  public:
    static std::shared_ptr<Process> create(LaunchOptions options);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // What the child is (or was to be) started with; never changes.
    const LaunchOptions& options() const noexcept { return options_; }

    // Who notices the end of the child.
    enum class EndWatch {
        // The event thread: the child is reaped and its handler
        // runs even when nobody waits.
        platform,
        // The launching caller, which waits for the end (wait,
        // waitTakingInOutput, stop) before it lets go of the process: no
        // other thread takes part, and an unwaited child stays a zombie.
        caller,
    };

    // Starts the child. Throws LaunchError (ENOENT for a missing executable,
    // EACCES for one that may not be run, ...), or SystemError when the
    // working directory cannot be entered. argv[0] is the executable path.
    void launch(EndWatch endWatch = EndWatch::platform);

    bool isLaunched() const;
    bool isRunning() const;
    int pid() const;  // 0 before launch

    // Blocks until the child has ended; returns at once when it has, or when
    // it was never launched.
    void wait();
    // Like wait, while taking in what arrives on the given reading
    // ends of the child's output pipes (FileHandle::setAsideAvailable), so
    // that a child writing more than a pipe holds, with nobody reading, can
    // end; a handle that someone else reads is left to them. With
    // untilEndOfOutputs it goes on until every handle has reached end of
    // input too, which takes as long as any holder of a writing end (a
    // grandchild, say) keeps it open. Returns false when the deadline passed
    // first; the child is then left as it is.
    bool waitTakingInOutput(std::span<const std::shared_ptr<FileHandle>> outputs,
                            bool untilEndOfOutputs,
                            std::optional<std::chrono::steady_clock::time_point> deadline = {});

    // Exit status, or the signal number for an uncaught signal. Blocks like
    // wait. A launch that failed answers 127 for a missing executable
    // and 126 for any other failure (or no launch at all), at once.
    int exitStatus();
    TerminationReason exitReason();

    // Blocks until the child has ended or the time has passed; tells
    // whether it has ended (true at once when it never started).
    bool waitFor(std::chrono::nanoseconds time);
    // Ends the child by escalation: SIGTERM, up to `grace` for it to end,
    // then SIGKILL; with options().ownProcessGroup every signal goes to the whole group,
    // and the group gets a SIGKILL once the child has ended. Returns once the
    // child has ended (at once when it never started or has ended).
    void stop(std::chrono::nanoseconds grace);

    // Signals: SIGTERM, SIGINT, SIGSTOP, SIGCONT. suspend/resume tell whether
    // the signal was delivered.
    void terminate();
    void interrupt();
    bool suspend();
    bool resume();

    // Runs once on the event thread after the child has ended, also when
    // installed after the end. A later call replaces the handler. That thread
    // also runs FileHandle readability handlers, so the handler must not wait
    // for one of them. An exception that escapes the handler is dropped
    // there: the thread goes on serving every other handle and process.
    void setExitHandler(std::function<void(Process&)> handler);

  private:
    explicit Process(LaunchOptions options);
    // On the event thread: reaps the child if it has ended.
    void finishIfEnded();
    // On the event thread: runs and releases the handler.
    void deliverTermination();
    const LaunchOptions options_;
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace platform
