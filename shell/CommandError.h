#pragma once

// The failures of running a command, and ending the process over an error.

#include <exception>
#include <string>

#include "platform/system/Error.h"

namespace shell {

// A command that ended with a status other than 0, or an executable that
// could not be started because it does not exist. Its what() is its
// description; its code() is the case's position (0 or 1).
class CommandError : public platform::Error {
  public:
    enum class Kind { returnedErrorCode, inAccessibleExecutable };

    // "Command '<command>' returned with error code <errorcode>."
    static CommandError returnedErrorCode(std::string command, int errorcode);
    // "Could not execute file at path '<path>'."
    static CommandError inAccessibleExecutable(std::string path);

    Kind kind() const noexcept { return kind_; }
    // returnedErrorCode: the command line and the termination status.
    const std::string& command() const noexcept { return text_; }
    int errorcode() const noexcept { return errorcode_; }
    // inAccessibleExecutable: the path reported for the executable.
    const std::string& path() const noexcept { return text_; }

    // errorcode for returnedErrorCode, 127 for inAccessibleExecutable.
    int exitCode() const noexcept;
    std::string description() const { return what(); }

    friend bool operator==(const CommandError& a, const CommandError& b) noexcept {
        return a.kind_ == b.kind_ && a.text_ == b.text_ && a.errorcode_ == b.errorcode_;
    }

  private:
    CommandError(Kind kind, std::string text, int errorcode, std::string description);

    Kind kind_;
    std::string text_;
    int errorcode_;
};

// Ends the process through exitWithMessage: a CommandError with its
// description and exitCode(), a platform error with its localized description
// and code, anything else with its what() and status 1.
[[noreturn]] void exitWithError(const std::exception& error);

}  // namespace shell
