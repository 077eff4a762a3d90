#include "shell/Command.h"

#include <string_view>

namespace shell {

namespace {

// Plain constants: nothing here is destroyed by an exit() from any thread.
constexpr const char* whichPath = "/usr/bin/which";

// The path made absolute and lexically normal. Most paths already are, and
// are taken as they are without the walk over their components.
std::filesystem::path normalAbsolutePath(const std::string& path) {
    const std::string_view text(path);
    const bool alreadyNormal = text.starts_with('/') && text.find("//") == text.npos &&
                               text.find("/./") == text.npos && text.find("/../") == text.npos &&
                               !text.ends_with("/.") && !text.ends_with("/..");
    if (alreadyNormal) {
        return path;
    }
    return std::filesystem::absolute(path).lexically_normal();
}

}  // namespace

void launchOrThrow(platform::Process& process, platform::Process::EndWatch endWatch) {
    try {
        process.launch(endWatch);
    } catch (const platform::LaunchError& error) {
        if (error.executableIsMissing()) {
            const auto& executable = process.options().executable;
            const auto name = executable.filename();
            throw CommandError::inAccessibleExecutable(name.empty() ? executable.string()
                                                                    : name.string());
        }
        throw;
    }
}

void waitForSuccess(platform::Process& process) {
    int status = process.exitStatus();
    if (status != 0) {
        throw CommandError::returnedErrorCode(commandText(process), status);
    }
}

std::string commandText(const platform::LaunchOptions& options) {
    std::string text = options.executable.string();
    for (const auto& argument : options.arguments) {
        text += ' ';
        if (argument.find(' ') == std::string::npos) {
            text += argument;
        } else {
            text += '"' + argument + '"';
        }
    }
    return text;
}

platform::LaunchOptions buildLaunchOptions(const std::string& executable,
                                           std::vector<std::string> arguments, Context& context) {
    platform::LaunchOptions options;
    options.arguments = std::move(arguments);
    // Relative to this process's directory.
    options.executable = normalAbsolutePath(resolveExecutable(executable, context));
    options.environment = context.env();
    options.currentDirectory = context.currentdirectory();
    if (!options.currentDirectory.is_absolute()) {
        options.currentDirectory = std::filesystem::absolute(options.currentDirectory);
    }
    options.standardInput = context.stdin()->filehandle();
    options.standardOutput = context.stdout()->filehandle();
    options.standardError = context.stderror()->filehandle();
    return options;
}

std::string resolveExecutable(const std::string& name, Context& context) {
    if (name.find('/') != std::string::npos) {
        return name;
    }
    auto lookup = runCapturedIn(context, whichPath, {name});
    std::string path;
    try {
        path = lookup.stdout();
    } catch (const ConversionError&) {
        // Not a path in the stream's encoding: as good as no answer.
    }
    return path.empty() ? name : path;
}

namespace {

using Clock = std::chrono::steady_clock;

std::optional<Clock::time_point> deadlineOf(const RunOptions& options) {
    if (!options.timeout) {
        return std::nullopt;
    }
    return Clock::now() + *options.timeout;
}

// The reason of a failure met while preparing or launching a run.
std::error_code reasonOf(std::exception_ptr failure) {
    try {
        std::rethrow_exception(std::move(failure));
    } catch (const std::system_error& error) {
        return error.code();
    } catch (const std::bad_alloc&) {
        return std::make_error_code(std::errc::not_enough_memory);
    } catch (...) {
        return std::make_error_code(std::errc::io_error);
    }
}

RunOutput capturedRun(Context& context, const std::string& executable,
                      std::vector<std::string> arguments, const RunOptions& options) {
    const auto deadline = deadlineOf(options);
    auto launchOptions = buildLaunchOptions(executable, std::move(arguments), context);
    launchOptions.ownProcessGroup = options.ownProcessGroup;
    auto command = AsyncCommand::create(std::move(launchOptions), options.mergeErrors);
    const auto& process = command->process();
    // This thread waits for the end itself: no other thread takes part.
    launchOrThrow(*process, platform::Process::EndWatch::caller);
    // Both pipes and the end of the process are watched from this thread,
    // in one poll, so a child filling either pipe never waits for ever and
    // nothing of the run is left with another thread once it returns.
    const auto& out = command->stdout()->filehandle();
    const auto& err = command->stderror()->filehandle();
    std::vector<std::shared_ptr<platform::FileHandle>> outputs{out};
    if (err != out) {
        outputs.push_back(err);
    }
    std::optional<CommandError> error;
    bool ended;
    try {
        ended = process->waitTakingInOutput(outputs, true, deadline);
    } catch (...) {
        process->stop(std::chrono::milliseconds(0));  // not left unreaped
        throw;
    }
    if (!ended) {
        process->stop(options.gracePeriod);
        // What reached the pipes before the end; a writer left behind (one
        // not in the command's own group) keeps its end open and is not
        // waited for.
        for (const auto& output : outputs) {
            output->setAsideAvailable();
        }
        error = CommandError::timedOut(commandText(*process), *options.timeout);
    }
    platform::Bytes output = out->takeSetAside();
    platform::Bytes errors = err != out ? err->takeSetAside() : platform::Bytes{};
    const int status = process->exitStatus();
    if (!error && status != 0) {
        error = CommandError::returnedErrorCode(commandText(*process), status);
    }
    return RunOutput(command, std::move(output), std::move(errors), std::move(error));
}

}  // namespace

RunOutput runCapturedIn(Context& context, const std::string& executable,
                        std::vector<std::string> arguments, RunOptions options) {
    try {
        return capturedRun(context, executable, std::move(arguments), options);
    } catch (const CommandError& error) {
        return RunOutput(nullptr, {}, {}, error);
    } catch (...) {
        // Anything else that kept the command from running, from making its
        // pipes to the launch itself.
        return RunOutput(
            nullptr, {}, {},
            CommandError::launchFailed(executable, reasonOf(std::current_exception())));
    }
}

void runEchoingIn(Context& context, const std::string& executable,
                  std::vector<std::string> arguments, RunOptions options) {
    const auto deadline = deadlineOf(options);
    auto launchOptions = buildLaunchOptions(executable, std::move(arguments), context);
    launchOptions.ownProcessGroup = options.ownProcessGroup;
    auto process = platform::Process::create(std::move(launchOptions));
    launchOrThrow(*process, platform::Process::EndWatch::caller);
    if (!process->waitTakingInOutput({}, false, deadline)) {
        process->stop(options.gracePeriod);
        throw CommandError::timedOut(commandText(*process), *options.timeout);
    }
    waitForSuccess(*process);
}

namespace {

template <class Command>
std::shared_ptr<Command> launchedOrExit(std::shared_ptr<Command> command) {
    try {
        launchOrThrow(*command->process());
    } catch (const std::exception& error) {
        // Nothing sensible is left for the caller to do.
        exitWithMessage(error.what(), 1);
    }
    return command;
}

}  // namespace

std::shared_ptr<AsyncCommand> startCapturedIn(Context& context, const Invocation& executable,
                                              std::vector<std::string> arguments) {
    return launchedOrExit(
        AsyncCommand::create(buildLaunchOptions(executable.text, std::move(arguments), context)));
}

std::shared_ptr<PrintedAsyncCommand> startEchoingIn(Context& context, const Invocation& executable,
                                                    std::vector<std::string> arguments) {
    return launchedOrExit(PrintedAsyncCommand::create(
        buildLaunchOptions(executable.text, std::move(arguments), context)));
}

std::shared_ptr<AsyncCommand> tryStartCapturedIn(Context& context, const Invocation& executable,
                                                 std::vector<std::string> arguments) {
    auto command =
        AsyncCommand::create(buildLaunchOptions(executable.text, std::move(arguments), context));
    launchOrThrow(*command->process());
    return command;
}

std::shared_ptr<PrintedAsyncCommand> tryStartEchoingIn(Context& context,
                                                       const Invocation& executable,
                                                       std::vector<std::string> arguments) {
    auto command = PrintedAsyncCommand::create(
        buildLaunchOptions(executable.text, std::move(arguments), context));
    launchOrThrow(*command->process());
    return command;
}

}  // namespace shell
