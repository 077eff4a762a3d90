#pragma once

#include <cstddef>
#include <string>

// The floor to compare with: posix_spawn with both outputs on pipes, read
// both to their end, waitpid. Returns the bytes read from standard output.
std::size_t rawSpawnCaptured(const std::string& executable, const std::string& argument = "");
