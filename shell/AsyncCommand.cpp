#include "shell/AsyncCommand.h"

#include "platform/system/Pipe.h"
#include "shell/Command.h"
#include "shell/Context.h"

namespace shell {

// PrintedAsyncCommand

PrintedAsyncCommand::PrintedAsyncCommand(std::shared_ptr<platform::Process> process)
    : process_(std::move(process)) {}

std::shared_ptr<PrintedAsyncCommand> PrintedAsyncCommand::create(platform::LaunchOptions options,
                                                                 bool mergeErrors) {
    if (mergeErrors) {
        options.standardError = options.standardOutput;
    }
    return std::shared_ptr<PrintedAsyncCommand>(
        new PrintedAsyncCommand(platform::Process::create(std::move(options))));
}

bool PrintedAsyncCommand::isRunning() const {
    return process_->isRunning();
}

void PrintedAsyncCommand::terminate() {
    process_->terminate();
}

void PrintedAsyncCommand::interrupt() {
    process_->interrupt();
}

bool PrintedAsyncCommand::suspend() {
    return process_->suspend();
}

bool PrintedAsyncCommand::resume() {
    return process_->resume();
}

bool PrintedAsyncCommand::waitForEnd(
    std::optional<std::chrono::steady_clock::time_point> deadline) {
    return process_->waitTakingInOutput({}, false, deadline);
}

bool PrintedAsyncCommand::waitFor(std::chrono::nanoseconds time) {
    return waitForEnd(std::chrono::steady_clock::now() +
                      std::chrono::duration_cast<std::chrono::steady_clock::duration>(time));
}

void PrintedAsyncCommand::stop(std::chrono::nanoseconds grace) {
    process_->stop(grace);
}

std::shared_ptr<PrintedAsyncCommand> PrintedAsyncCommand::waitForSuccess() {
    waitForEnd();
    shell::waitForSuccess(*process_);
    return shared_from_this();
}

int PrintedAsyncCommand::exitStatus() {
    waitForEnd();
    return process_->exitStatus();
}

platform::TerminationReason PrintedAsyncCommand::exitReason() {
    waitForEnd();
    return process_->exitReason();
}

std::shared_ptr<PrintedAsyncCommand> PrintedAsyncCommand::onTermination(
    std::function<void(PrintedAsyncCommand&)> handler) {
    process_->setExitHandler([self = shared_from_this(), handler = std::move(handler)](
                                 platform::Process&) { handler(*self); });
    return shared_from_this();
}

// AsyncCommand

AsyncCommand::AsyncCommand(std::shared_ptr<platform::Process> process,
                           const std::shared_ptr<platform::Pipe>& output,
                           const std::shared_ptr<platform::Pipe>& errors)
    : PrintedAsyncCommand(std::move(process)) {
    const auto encoding = mainContext().encoding();
    stdout_ = std::make_shared<FileHandleStream>(output->readingEnd(), encoding);
    stderror_ = errors == output
                    ? stdout_
                    : std::make_shared<FileHandleStream>(errors->readingEnd(), encoding);
}

std::shared_ptr<AsyncCommand> AsyncCommand::create(platform::LaunchOptions options,
                                                   bool mergeErrors) {
    auto output = platform::Pipe::create();
    auto errors = mergeErrors ? output : platform::Pipe::create();
    options.standardOutput = output;
    options.standardError = errors;
    return std::shared_ptr<AsyncCommand>(
        new AsyncCommand(platform::Process::create(std::move(options)), output, errors));
}

bool AsyncCommand::waitForEnd(std::optional<std::chrono::steady_clock::time_point> deadline) {
    const auto& out = stdout_->filehandle();
    const auto& err = stderror_->filehandle();
    std::vector<std::shared_ptr<platform::FileHandle>> outputs{out};
    if (err != out) {
        outputs.push_back(err);
    }
    return process()->waitTakingInOutput(outputs, false, deadline);
}

std::shared_ptr<AsyncCommand> AsyncCommand::waitForSuccess() {
    PrintedAsyncCommand::waitForSuccess();
    return std::static_pointer_cast<AsyncCommand>(shared_from_this());
}

std::shared_ptr<AsyncCommand> AsyncCommand::onTerminationOfThis(
    std::function<void(AsyncCommand&)> handler) {
    PrintedAsyncCommand::onTermination(
        [handler = std::move(handler)](PrintedAsyncCommand& command) {
            handler(static_cast<AsyncCommand&>(command));
        });
    return std::static_pointer_cast<AsyncCommand>(shared_from_this());
}

}  // namespace shell
