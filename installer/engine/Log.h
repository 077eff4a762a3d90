#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace installer {

// One log line: the items joined by one blank.
std::string logLine(std::initializer_list<std::string_view> items);

// Writes the line and a newline to standard output in one write, flushed at
// once so a reader of a pipe sees lines as they happen and lines from
// different threads stay whole.
void writeLogLine(std::string_view line);

}  // namespace installer
