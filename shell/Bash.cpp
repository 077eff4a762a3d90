#include "shell/Bash.h"

namespace shell {

namespace {

constexpr const char* bashPath = "/bin/bash";

Invocation bashAt(const Invocation& script) {
    return Invocation(bashPath, script.file, script.line);
}

}  // namespace

RunOutput CommandRunning::runCapturedScript(const std::string& script) const {
    return runCaptured(bashPath, "-c", script);
}

RunOutput CommandRunning::runCapturedScript(const RunOptions& options,
                                            const std::string& script) const {
    return runCaptured(options, bashPath, "-c", script);
}

void CommandRunning::runEchoingScript(const std::string& script) const {
    runEchoing(bashPath, "-c", script);
}

std::shared_ptr<AsyncCommand> CommandRunning::startCapturedScript(Invocation script) const {
    return startCaptured(bashAt(script), "-c", script.text);
}

std::shared_ptr<PrintedAsyncCommand> CommandRunning::startEchoingScript(Invocation script) const {
    return startEchoing(bashAt(script), "-c", script.text);
}

RunOutput runCapturedScript(const std::string& script) {
    return mainContext().runCapturedScript(script);
}

RunOutput runCapturedScript(const RunOptions& options, const std::string& script) {
    return mainContext().runCapturedScript(options, script);
}

void runEchoingScript(const std::string& script) {
    mainContext().runEchoingScript(script);
}

std::shared_ptr<AsyncCommand> startCapturedScript(Invocation script) {
    return mainContext().startCapturedScript(std::move(script));
}

std::shared_ptr<PrintedAsyncCommand> startEchoingScript(Invocation script) {
    return mainContext().startEchoingScript(std::move(script));
}

}  // namespace shell
