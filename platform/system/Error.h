#pragma once

#include <stdexcept>
#include <string>

namespace platform {

// Base of every error the platform layer reports: a readable description
// (what an alert or a log line shows) and the numeric code behind it.
class Error : public std::runtime_error {
  public:
    Error(std::string localizedDescription, int code)
        : std::runtime_error(localizedDescription), code_(code) {}

    std::string localizedDescription() const { return what(); }
    int code() const noexcept { return code_; }

  private:
    int code_;
};

// An operating-system call failed; the code is the errno value.
class SystemError : public Error {
  public:
    // Describes the failure as "<what>: <strerror(errnum)>".
    SystemError(const std::string& what, int errnum);
    int errnum() const noexcept { return code(); }
};

}  // namespace platform
