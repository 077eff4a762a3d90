#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace installer {

// Replaces each "%@" in the template, left to right, with the next argument,
// unchanged. Placeholders beyond the arguments are left as they are.
std::string format(std::string_view templateText,
                   std::initializer_list<std::string_view> arguments);

}  // namespace installer
