#pragma once

#include <cstddef>
#include <string>

// The floor to compare with: posix_spawn with both outputs on pipes, read
// both to their end, waitpid. Returns the bytes read from standard output.
std::size_t rawSpawnCaptured(const std::string& executable, const std::string& argument = "");

// The floor for keeping a program's output in memory: `cat file` with its
// output on a pipe, read with plain read() calls straight into one buffer
// that doubles as it fills (so it pays the same page faults as any capture).
// Returns the bytes read.
std::size_t rawCaptureToMemory(const std::string& file);
