#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <string>

// The floor to compare with: posix_spawn with both outputs on pipes, read
// both to their end, waitpid. Returns the bytes read from standard output.
std::size_t rawSpawnCaptured(const std::string& executable, const std::string& argument = "");

// Bytes kept by rawCaptureToMemory; freed by their owner, after the clock
// has stopped, as a capture's result is.
struct CapturedBytes {
    struct Free {
        void operator()(char* bytes) const noexcept { std::free(bytes); }
    };
    std::unique_ptr<char, Free> bytes;
    std::size_t size = 0;
};

// The floor for keeping a program's output in memory: `cat file` with its
// output on a pipe as large as the runner makes it, read with plain read()
// calls and kept in one buffer that grows as the runner's does (so it pays
// the same page faults as any capture).
CapturedBytes rawCaptureToMemory(const std::string& file);
