#pragma once

#include <initializer_list>
#include <string_view>

namespace installer {

// Writes one line to standard output: the items joined by one blank, then a
// newline, flushed at once so a reader of a pipe sees lines as they happen.
void log(std::initializer_list<std::string_view> items);

}  // namespace installer
