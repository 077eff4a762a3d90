#pragma once

#include <optional>
#include <string>
#include <vector>

namespace installer {

// The first name, in the given order, that contains ".app" anywhere
// (case-sensitive); none when no name does.
std::optional<std::string> firstAppName(const std::vector<std::string>& names);

}  // namespace installer
