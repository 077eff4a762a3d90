#pragma once

// Commands that run while the caller goes on.

#include <chrono>
#include <concepts>
#include <functional>
#include <memory>
#include <optional>

#include "platform/system/Process.h"
#include "shell/Stream.h"

namespace shell {

// A launched (or, from the constructor, still unlaunched) process that writes
// into the streams it was given. Always held by std::shared_ptr. The object
// carries no lock; its fields never change after construction.
//
// Dropping the last reference to a running command neither stops nor waits
// for its process: the process runs on and is reaped by the platform when it
// ends, so it leaves no zombie. A captured command's pipes close with it, so
// the process's further writes to them fail (EPIPE, or SIGPIPE unless it
// ignores that). Call stop() first to end it.
class PrintedAsyncCommand : public std::enable_shared_from_this<PrintedAsyncCommand> {
  public:
    // A command whose process is made from the options, not launched yet:
    // launching is the caller's business. With mergeErrors the process's
    // standard error becomes its standard output.
    static std::shared_ptr<PrintedAsyncCommand> create(platform::LaunchOptions options,
                                                       bool mergeErrors = false);
    virtual ~PrintedAsyncCommand() = default;
    PrintedAsyncCommand(const PrintedAsyncCommand&) = delete;
    PrintedAsyncCommand& operator=(const PrintedAsyncCommand&) = delete;

    const std::shared_ptr<platform::Process>& process() const noexcept { return process_; }

    // Running, stopped counting as running.
    virtual bool isRunning() const;
    // SIGTERM and SIGINT.
    virtual void terminate();
    virtual void interrupt();
    // SIGSTOP and SIGCONT; false when the signal could not be sent.
    virtual bool suspend();
    virtual bool resume();

    // Waits for the end at most `time`; tells whether the process has ended.
    bool waitFor(std::chrono::nanoseconds time);
    // Ends the process by escalation: SIGTERM, then SIGKILL when it has not
    // ended within `grace` (to its whole group when it leads one). Returns
    // once it has ended.
    void stop(std::chrono::nanoseconds grace = std::chrono::seconds(2));

    // Waits for the end; throws CommandError::returnedErrorCode when the
    // status is not 0. Returns this command.
    std::shared_ptr<PrintedAsyncCommand> waitForSuccess();
    // Wait for the end (at once when it has ended or never started).
    virtual int exitStatus();
    virtual platform::TerminationReason exitReason();

    // Calls handler(*this) once after the process has ended, whatever its
    // status, on the platform's event thread; replaces any earlier
    // handler. Installed after the end, it still runs. The handler and this
    // command are kept until then. Returns this command. That thread also
    // runs the onOutput() handlers of every stream, so the handler must not
    // wait for one of them; an exception that escapes it is dropped there.
    virtual std::shared_ptr<PrintedAsyncCommand> onTermination(
        std::function<void(PrintedAsyncCommand&)> handler);

  protected:
    explicit PrintedAsyncCommand(std::shared_ptr<platform::Process> process);
    // Blocks until the process has ended or the deadline has passed, and
    // tells whether it has ended; every wait above goes through it.
    virtual bool waitForEnd(std::optional<std::chrono::steady_clock::time_point> deadline = {});

  private:
    const std::shared_ptr<platform::Process> process_;
};

// A command whose standard output and standard error go into pipes, read by
// the caller through stdout() and stderror(), with the encoding of
// mainContext. Nothing reads them unless the caller does, or waits
// (waitForSuccess, exitStatus, exitReason) without reading them.
class AsyncCommand final : public PrintedAsyncCommand {
  public:
    // The options' standard output and error are replaced by pipes; with
    // mergeErrors, stdout() and stderror() are one stream over one pipe. Not
    // launched yet: launching is the caller's business.
    static std::shared_ptr<AsyncCommand> create(platform::LaunchOptions options,
                                                bool mergeErrors = false);

    const std::shared_ptr<ReadableStream>& stdout() const noexcept { return stdout_; }
    const std::shared_ptr<ReadableStream>& stderror() const noexcept { return stderror_; }

    std::shared_ptr<AsyncCommand> waitForSuccess();

    // Takes any handler that accepts the command as an AsyncCommand, also one
    // written for a PrintedAsyncCommand or a generic one.
    template <class Handler>
    requires std::invocable<Handler&, AsyncCommand&> std::shared_ptr<AsyncCommand> onTermination(
        Handler handler) {
        return onTerminationOfThis(std::function<void(AsyncCommand&)>(std::move(handler)));
    }

  protected:
    // While it waits, what the process writes and nobody reads is taken in
    // from the pipes and kept by the handles, so that a process writing more
    // than a pipe holds can end; stdout() and stderror() give it afterwards,
    // in order, before what is still in the pipes.
    bool waitForEnd(std::optional<std::chrono::steady_clock::time_point> deadline = {}) override;

  private:
    AsyncCommand(std::shared_ptr<platform::Process> process,
                 const std::shared_ptr<platform::Pipe>& output,
                 const std::shared_ptr<platform::Pipe>& errors);
    std::shared_ptr<AsyncCommand> onTerminationOfThis(std::function<void(AsyncCommand&)> handler);

    std::shared_ptr<ReadableStream> stdout_;
    std::shared_ptr<ReadableStream> stderror_;
};

}  // namespace shell
