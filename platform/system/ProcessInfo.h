#pragma once

#include <map>
#include <string>
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
std::string globallyUniqueString();

}  // namespace processInfo
}  // namespace platform
