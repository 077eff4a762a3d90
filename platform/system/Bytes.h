#pragma once

#include <cstddef>
#include <vector>

namespace platform {

// Raw bytes, as read from or written to a file descriptor.
using Bytes = std::vector<std::byte>;

}  // namespace platform
