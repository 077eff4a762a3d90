#pragma once

#include <string>
#include <system_error>

namespace platform {

// The category of the platform layer's own failures that have no errno: each
// error type numbers its cases itself (a decoding failure, a URL loading
// failure, ...).
const std::error_category& errorCategory() noexcept;

// Base of every error the platform layer and the layers above report: a
// std::system_error whose what() is exactly its description (what an alert
// or a log line shows) and whose code() says what failed.
class Error : public std::system_error {
  public:
    Error(std::error_code code, std::string description)
        : std::system_error(code), description_(std::move(description)) {}
    // A failure numbered by its own type, in errorCategory().
    Error(std::string description, int code)
        : Error(std::error_code(code, errorCategory()), std::move(description)) {}

    const char* what() const noexcept override { return description_.c_str(); }

  private:
    std::string description_;
};

// An operating-system call failed: code() is the errno value in
// std::generic_category(), so callers compare it with std::errc.
class SystemError : public Error {
  public:
    // Describes the failure as "<what>: <strerror(errnum)>".
    SystemError(const std::string& what, int errnum);
    int errnum() const noexcept { return code().value(); }
};

}  // namespace platform
