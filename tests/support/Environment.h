#pragma once

// Sets (or with std::nullopt removes) one environment variable for the life
// of the value, then puts back what was there before. Only for the test's own
// thread while no other thread reads the environment.
//
//   testsupport::ScopedEnvironmentVariable trust("SSL_CERT_FILE", caFile);

#include <optional>
#include <string>

namespace testsupport {

class ScopedEnvironmentVariable {
  public:
    ScopedEnvironmentVariable(std::string name, const std::optional<std::string>& value);
    ~ScopedEnvironmentVariable();
    ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
    ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

  private:
    std::string name_;
    std::optional<std::string> previous_;
};

}  // namespace testsupport
