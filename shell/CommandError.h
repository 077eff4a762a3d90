#pragma once

// The failures of running a command, and ending the process over an error.

#include <chrono>
#include <exception>
#include <string>
#include <system_error>

#include "platform/system/Error.h"

namespace shell {

// The category of the two command failures that are no system error; their
// values are the cases' positions (0 and 1).
const std::error_category& commandCategory() noexcept;

// A failed command, as a std::system_error whose what() is the description:
//  - returnedErrorCode: it ended with a status other than 0 (code() is 0 in
//    commandCategory());
//  - inAccessibleExecutable: its executable does not exist (1 in
//    commandCategory());
//  - launchFailed: it could not be started for another reason (code() is
//    the system's, e.g. std::errc::permission_denied); only captured runs
//    report this case, other operations throw the platform's error;
//  - timedOut: it ran past its deadline and was stopped (code() is
//    std::errc::timed_out).
class CommandError : public platform::Error {
  public:
    enum class Kind { returnedErrorCode, inAccessibleExecutable, launchFailed, timedOut };

    // "Command '<command>' returned with error code <errorcode>."
    static CommandError returnedErrorCode(std::string command, int errorcode);
    // "Could not execute file at path '<path>'."
    static CommandError inAccessibleExecutable(std::string path);
    // "Could not launch '<path>': <the reason>."
    static CommandError launchFailed(std::string path, std::error_code reason);
    // "Command '<command>' timed out after <seconds> seconds."
    static CommandError timedOut(std::string command, std::chrono::milliseconds limit);

    Kind kind() const noexcept { return kind_; }
    // returnedErrorCode and timedOut: the command line; returnedErrorCode:
    // the termination status.
    const std::string& command() const noexcept { return text_; }
    int errorcode() const noexcept { return errorcode_; }
    // inAccessibleExecutable and launchFailed: the path of the executable.
    const std::string& path() const noexcept { return text_; }

    // errorcode for returnedErrorCode, 127 for inAccessibleExecutable, 126
    // for launchFailed, 124 for timedOut.
    int exitCode() const noexcept;
    std::string description() const { return what(); }

    friend bool operator==(const CommandError& a, const CommandError& b) noexcept {
        return a.kind_ == b.kind_ && a.text_ == b.text_ && a.errorcode_ == b.errorcode_ &&
               a.code() == b.code();
    }

  private:
    CommandError(Kind kind, std::string text, int errorcode, std::error_code code,
                 std::string description);

    Kind kind_;
    std::string text_;
    int errorcode_;
};

// Ends the process through exitWithMessage: a CommandError with its
// description and exitCode(), a platform error with its description and the
// value of its code, anything else with its what() and status 1.
[[noreturn]] void exitWithError(const std::exception& error);

}  // namespace shell
