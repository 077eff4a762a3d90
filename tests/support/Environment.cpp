#include "tests/support/Environment.h"

#include <cstdlib>

namespace testsupport {
namespace {

void put(const std::string& name, const std::optional<std::string>& value) {
    if (value) {
        setenv(name.c_str(), value->c_str(), 1);
    } else {
        unsetenv(name.c_str());
    }
}

}  // namespace

ScopedEnvironmentVariable::ScopedEnvironmentVariable(std::string name,
                                                     const std::optional<std::string>& value)
    : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) {
        previous_ = old;
    }
    put(name_, value);
}

ScopedEnvironmentVariable::~ScopedEnvironmentVariable() {
    put(name_, previous_);
}

}  // namespace testsupport
