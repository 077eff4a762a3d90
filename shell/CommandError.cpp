#include "shell/CommandError.h"

#include "shell/Context.h"

namespace shell {

namespace {

constexpr int missingExecutableStatus = 127;

}  // namespace

CommandError::CommandError(Kind kind, std::string text, int errorcode, std::string description)
    : platform::Error(std::move(description), static_cast<int>(kind)),
      kind_(kind),
      text_(std::move(text)),
      errorcode_(errorcode) {}

CommandError CommandError::returnedErrorCode(std::string command, int errorcode) {
    std::string description =
        "Command '" + command + "' returned with error code " + std::to_string(errorcode) + ".";
    return CommandError(Kind::returnedErrorCode, std::move(command), errorcode,
                        std::move(description));
}

CommandError CommandError::inAccessibleExecutable(std::string path) {
    std::string description = "Could not execute file at path '" + path + "'.";
    return CommandError(Kind::inAccessibleExecutable, std::move(path), 0, std::move(description));
}

int CommandError::exitCode() const noexcept {
    return kind_ == Kind::returnedErrorCode ? errorcode_ : missingExecutableStatus;
}

void exitWithError(const std::exception& error) {
    if (const auto* command = dynamic_cast<const CommandError*>(&error)) {
        exitWithMessage(command->description(), command->exitCode());
    }
    if (const auto* platformError = dynamic_cast<const platform::Error*>(&error)) {
        exitWithMessage(platformError->localizedDescription(), platformError->code());
    }
    exitWithMessage(error.what(), 1);
}

}  // namespace shell
