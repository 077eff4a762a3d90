#pragma once

// Running commands: from a program name and argument values to a configured,
// launched process, and the ways of waiting for it.
//
// Every run operation exists on every CommandRunning conformer (a
// CustomContext, mainContext(), a readable stream, a TextInput), running in
// its commandContext(), and as a free function of the same name that runs in
// mainContext():
//
//   auto listing = shell::runCaptured("ls", "-l", directory);
//   context.runEchoing("make", ArgumentList{"-j", 2}, targets);
//   auto both = shell::runCaptured(shell::mergeErrors, "/bin/bash", "-c", script);
//
// Argument values are flattened by flattenArguments (shell/Arguments.h).
// Options come first when given: captured runs merge standard error into
// standard output with RunOptions{.mergeErrors = true} (or the constant
// mergeErrors); RunOptions{.timeout = 5s} stops a run that takes longer. The start operations take
// the caller's source file and line along with the executable (see Invocation); nothing uses them.

#include <chrono>
#include <concepts>
#include <memory>
#include <optional>
#include <source_location>
#include <string>
#include <vector>

#include "platform/system/Process.h"
#include "shell/Arguments.h"
#include "shell/AsyncCommand.h"
#include "shell/CommandError.h"
#include "shell/CommandRunning.h"
#include "shell/Context.h"
#include "shell/RunOutput.h"

namespace shell {

// Options of a run.
struct RunOptions {
    // Captured runs: standard error goes into the standard output pipe, in
    // the order written.
    bool mergeErrors = false;
    // Time the run may take. Past it the command is stopped (see
    // gracePeriod) and the run reports CommandError::timedOut: runCaptured in
    // its result, with the output read so far, runEchoing by throwing. It
    // also bounds the wait for the end of a captured run's output, which
    // without a timeout lasts as long as anything the command started keeps
    // its output open.
    std::optional<std::chrono::milliseconds> timeout{};
    // When stopping: how long after SIGTERM the command has before SIGKILL.
    std::chrono::milliseconds gracePeriod{2000};
    // The command leads a process group of its own, and stopping it stops
    // the whole group, so what a script started in the background goes too.
    bool ownProcessGroup = false;
};

inline constexpr RunOptions mergeErrors{.mergeErrors = true};

// The executable (or script) of a start operation with the caller's source
// file and line, taken implicitly at the call. The location is accepted and
// not used in any output.
struct Invocation {
    template <class Text>
    requires std::constructible_from<std::string, const Text&> Invocation(
        const Text& text,  // NOLINT: implicit, so a plain text can be given
        std::source_location where = std::source_location::current())
        : text(text), file(where.file_name()), line(static_cast<int>(where.line())) {}
    Invocation(std::string text, std::string file, int line)
        : text(std::move(text)), file(std::move(file)), line(line) {}

    std::string text;
    std::string file;
    int line;
};

// Operations on a platform process.

// Launches; a missing executable throws CommandError::inAccessibleExecutable
// with the executable's last path component, any other launch failure the
// platform's error unchanged.
void launchOrThrow(platform::Process& process,
                   platform::Process::EndWatch endWatch = platform::Process::EndWatch::platform);
// Waits for the end; throws CommandError::returnedErrorCode with
// commandText() when the status is not 0.
void waitForSuccess(platform::Process& process);
// The executable's path, then each argument after one blank; an argument
// holding a blank in double quotes; nothing escaped.
std::string commandText(const platform::LaunchOptions& options);
inline std::string commandText(const platform::Process& process) {
    return commandText(process.options());
}

// How to start a program in the context: the executable resolved as a path,
// the environment replaced by the context's, the context's directory and
// standard streams.
platform::LaunchOptions buildLaunchOptions(const std::string& executable,
                                           std::vector<std::string> arguments, Context& context);
// A name holding "/" unchanged; otherwise what "/usr/bin/which" prints for it
// in the context (its search path), or the name when it prints nothing.
std::string resolveExecutable(const std::string& name, Context& context);

// The runs themselves, in a given context, with arguments already flat.

// Blocks until the process has ended and both outputs are read, reading
// both pipes on the calling thread meanwhile. Never throws: every failure
// ends up in the result (see RunOutput::error).
RunOutput runCapturedIn(Context& context, const std::string& executable,
                        std::vector<std::string> arguments, RunOptions options = {});
// The process writes into the context's streams; throws the launch error,
// CommandError::returnedErrorCode or CommandError::timedOut.
void runEchoingIn(Context& context, const std::string& executable,
                  std::vector<std::string> arguments, RunOptions options = {});
// Launched commands. A launch failure prints the error's description on
// mainContext's stderror and ends the process with status 1.
std::shared_ptr<AsyncCommand> startCapturedIn(Context& context, const Invocation& executable,
                                              std::vector<std::string> arguments);
std::shared_ptr<PrintedAsyncCommand> startEchoingIn(Context& context, const Invocation& executable,
                                                    std::vector<std::string> arguments);
// The same for a program that decides itself what a launch failure means:
// it is thrown (CommandError::inAccessibleExecutable for a missing
// executable, the platform's std::system_error for any other) and the
// process goes on.
std::shared_ptr<AsyncCommand> tryStartCapturedIn(Context& context, const Invocation& executable,
                                                 std::vector<std::string> arguments);
std::shared_ptr<PrintedAsyncCommand> tryStartEchoingIn(Context& context,
                                                       const Invocation& executable,
                                                       std::vector<std::string> arguments);

// The operations of every CommandRunning conformer.

template <class... Values>
RunOutput CommandRunning::runCaptured(const Executable& executable, const Values&... values) const {
    return runCapturedIn(*commandContext(), executable.text(), flattenArguments(values...));
}

template <class... Values>
RunOutput CommandRunning::runCaptured(const RunOptions& options, const Executable& executable,
                                      const Values&... values) const {
    return runCapturedIn(*commandContext(), executable.text(), flattenArguments(values...),
                         options);
}

template <class... Values>
void CommandRunning::runEchoing(const Executable& executable, const Values&... values) const {
    runEchoingIn(*commandContext(), executable.text(), flattenArguments(values...));
}

template <class... Values>
void CommandRunning::runEchoing(const RunOptions& options, const Executable& executable,
                                const Values&... values) const {
    runEchoingIn(*commandContext(), executable.text(), flattenArguments(values...), options);
}

template <class... Values>
std::shared_ptr<AsyncCommand> CommandRunning::startCaptured(Invocation executable,
                                                            const Values&... values) const {
    return startCapturedIn(*commandContext(), executable, flattenArguments(values...));
}

template <class... Values>
std::shared_ptr<PrintedAsyncCommand> CommandRunning::startEchoing(Invocation executable,
                                                                  const Values&... values) const {
    return startEchoingIn(*commandContext(), executable, flattenArguments(values...));
}

template <class... Values>
std::shared_ptr<AsyncCommand> CommandRunning::tryStartCaptured(Invocation executable,
                                                               const Values&... values) const {
    return tryStartCapturedIn(*commandContext(), executable, flattenArguments(values...));
}

template <class... Values>
std::shared_ptr<PrintedAsyncCommand> CommandRunning::tryStartEchoing(
    Invocation executable, const Values&... values) const {
    return tryStartEchoingIn(*commandContext(), executable, flattenArguments(values...));
}

// The same in mainContext().

template <class... Values>
RunOutput runCaptured(const Executable& executable, const Values&... values) {
    return mainContext().runCaptured(executable, values...);
}

template <class... Values>
RunOutput runCaptured(const RunOptions& options, const Executable& executable,
                      const Values&... values) {
    return mainContext().runCaptured(options, executable, values...);
}

template <class... Values>
void runEchoing(const Executable& executable, const Values&... values) {
    mainContext().runEchoing(executable, values...);
}

template <class... Values>
void runEchoing(const RunOptions& options, const Executable& executable, const Values&... values) {
    mainContext().runEchoing(options, executable, values...);
}

template <class... Values>
std::shared_ptr<AsyncCommand> startCaptured(Invocation executable, const Values&... values) {
    return mainContext().startCaptured(std::move(executable), values...);
}

template <class... Values>
std::shared_ptr<PrintedAsyncCommand> startEchoing(Invocation executable, const Values&... values) {
    return mainContext().startEchoing(std::move(executable), values...);
}

template <class... Values>
std::shared_ptr<AsyncCommand> tryStartCaptured(Invocation executable, const Values&... values) {
    return mainContext().tryStartCaptured(std::move(executable), values...);
}

template <class... Values>
std::shared_ptr<PrintedAsyncCommand> tryStartEchoing(Invocation executable,
                                                     const Values&... values) {
    return mainContext().tryStartEchoing(std::move(executable), values...);
}

}  // namespace shell
