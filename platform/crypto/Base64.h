#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The standard alphabet (A-Z a-z 0-9 + /) with "=" padding.
std::string encodeBase64(std::span<const std::byte> bytes);

// Strict: the standard alphabet only, no white space, padding either complete
// or left out, and no stray bits in the last character, so each byte string
// has exactly one accepted text besides its unpadded form. None for anything
// else.
std::optional<std::vector<std::byte>> decodeBase64(std::string_view text);

}  // namespace platform
