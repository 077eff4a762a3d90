#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

using Environment = std::map<std::string, std::string>;

// Facts about the running process, read from the system when asked.
namespace processInfo {

// The environment at this moment.
Environment environment();
// The command line (argv, argv[0] included) from /proc/self/cmdline, so no
// initialisation call is needed; empty for a process started with no argv.
std::vector<std::string> arguments();
// A string unique to this process and call: host, pid, time and a counter.
std::string uniqueName();
// The home directory of the user running the process: $HOME when it is set
// and not empty, else the user database's entry, else "/".
std::filesystem::path homeDirectory();
// The named user's home directory from the user database; none for a user
// it does not know.
std::optional<std::filesystem::path> homeDirectoryOf(std::string_view user);

}  // namespace processInfo
}  // namespace platform
