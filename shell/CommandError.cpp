#include "shell/CommandError.h"

#include <charconv>

#include "shell/Context.h"

namespace shell {

namespace {

constexpr int missingExecutableStatus = 127;
constexpr int unlaunchableStatus = 126;
constexpr int timedOutStatus = 124;

class CommandCategory final : public std::error_category {
  public:
    const char* name() const noexcept override { return "command"; }
    std::string message(int value) const override {
        switch (static_cast<CommandError::Kind>(value)) {
            case CommandError::Kind::returnedErrorCode:
                return "command returned with an error code";
            case CommandError::Kind::inAccessibleExecutable:
                return "executable could not be found";
            default:
                return "command error " + std::to_string(value);
        }
    }
};

std::string secondsText(std::chrono::milliseconds limit) {
    char buffer[32];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(limit.count()) / 1000.0);
    return std::string(buffer, result.ptr);
}

}  // namespace

const std::error_category& commandCategory() noexcept {
    static const CommandCategory category;
    return category;
}

CommandError::CommandError(Kind kind, std::string text, int errorcode, std::error_code code,
                           std::string description)
    : platform::Error(code, std::move(description)),
      kind_(kind),
      text_(std::move(text)),
      errorcode_(errorcode) {}

CommandError CommandError::returnedErrorCode(std::string command, int errorcode) {
    std::string description =
        "Command '" + command + "' returned with error code " + std::to_string(errorcode) + ".";
    return CommandError(Kind::returnedErrorCode, std::move(command), errorcode,
                        {static_cast<int>(Kind::returnedErrorCode), commandCategory()},
                        std::move(description));
}

CommandError CommandError::inAccessibleExecutable(std::string path) {
    std::string description = "Could not execute file at path '" + path + "'.";
    return CommandError(Kind::inAccessibleExecutable, std::move(path), 0,
                        {static_cast<int>(Kind::inAccessibleExecutable), commandCategory()},
                        std::move(description));
}

CommandError CommandError::launchFailed(std::string path, std::error_code reason) {
    std::string description = "Could not launch '" + path + "': " + reason.message() + ".";
    return CommandError(Kind::launchFailed, std::move(path), 0, reason, std::move(description));
}

CommandError CommandError::timedOut(std::string command, std::chrono::milliseconds limit) {
    std::string description =
        "Command '" + command + "' timed out after " + secondsText(limit) + " seconds.";
    return CommandError(Kind::timedOut, std::move(command), 0,
                        std::make_error_code(std::errc::timed_out), std::move(description));
}

int CommandError::exitCode() const noexcept {
    switch (kind_) {
        case Kind::returnedErrorCode:
            return errorcode_;
        case Kind::inAccessibleExecutable:
            return missingExecutableStatus;
        case Kind::launchFailed:
            return unlaunchableStatus;
        case Kind::timedOut:
            return timedOutStatus;
    }
    return unlaunchableStatus;
}

void exitWithError(const std::exception& error) {
    if (const auto* command = dynamic_cast<const CommandError*>(&error)) {
        exitWithMessage(command->description(), command->exitCode());
    }
    if (const auto* platformError = dynamic_cast<const platform::Error*>(&error)) {
        exitWithMessage(platformError->what(), platformError->code().value());
    }
    exitWithMessage(error.what(), 1);
}

}  // namespace shell
