#include "platform/system/Error.h"

#include <cstring>

namespace platform {

SystemError::SystemError(const std::string& what, int errnum)
    : Error(what + ": " + std::strerror(errnum), errnum) {}

}  // namespace platform
