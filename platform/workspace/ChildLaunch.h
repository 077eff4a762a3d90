#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace platform::workspace {

// Starts a program so that it belongs to nobody: in a session of its own,
// standard streams on /dev/null, working directory "/", reparented away from
// this process (so it outlives it and never becomes its zombie). Tells
// whether the program was started; throws SystemError when no process could
// be made at all.
bool launchDetached(const std::filesystem::path& executable,
                    const std::vector<std::string>& arguments);

// Runs a short helper program with standard streams on /dev/null and waits
// at most the given time for it. Its exit status; none when it could not be
// started, ended by a signal, or had to be killed for taking too long.
std::optional<int> runBriefly(const std::filesystem::path& executable,
                              const std::vector<std::string>& arguments,
                              std::chrono::milliseconds limit);

// The first executable file of that name in the directories of $PATH.
std::optional<std::filesystem::path> findExecutable(const std::string& name);

}  // namespace platform::workspace
