#include "platform/system/Error.h"

#include <cstring>

namespace platform {

namespace {

class PlatformCategory final : public std::error_category {
  public:
    const char* name() const noexcept override { return "platform"; }
    std::string message(int code) const override {
        return "platform error " + std::to_string(code);
    }
};

}  // namespace

const std::error_category& errorCategory() noexcept {
    static const PlatformCategory category;
    return category;
}

SystemError::SystemError(const std::string& what, int errnum)
    : Error(std::error_code(errnum, std::generic_category()), what + ": " + std::strerror(errnum)) {
}

}  // namespace platform
