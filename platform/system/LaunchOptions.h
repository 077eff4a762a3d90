#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "platform/system/EnvironmentBlock.h"
#include "platform/system/FileHandle.h"
#include "platform/system/Pipe.h"

namespace platform {

// What a child's standard stream is connected to: a file handle the child
// shares with the parent, or a pipe (the child gets the writing end for an
// output, the reading end for an input; the parent closes the child's end
// after launch). An empty pointer leaves the parent's own descriptor.
using ProcessStream = std::variant<std::shared_ptr<FileHandle>, std::shared_ptr<Pipe>>;

// Everything a child is started with. A plain value: a Process takes its own
// copy when it is created, so nothing about a child can change once it runs.
struct LaunchOptions {
    std::filesystem::path executable{};        // absolute, or relative to the parent's directory
    std::vector<std::string> arguments{};      // without argv[0]
    EnvironmentBlock environment{};            // replaces the parent's entirely
    std::filesystem::path currentDirectory{};  // empty: the parent's
    ProcessStream standardInput{};
    ProcessStream standardOutput{};
    ProcessStream standardError{};
    // The child leads a process group of its own, which Process::stop()
    // signals as a whole, so that what the child started ends with it.
    bool ownProcessGroup = false;
};

}  // namespace platform
