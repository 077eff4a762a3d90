#pragma once

#include <sys/types.h>

#include <array>
#include <string>
#include <vector>

#include "platform/system/EnvironmentBlock.h"

namespace platform {

// Everything a child needs at its start; it refers to the caller's values.
struct SpawnRequest {
    const std::string& executable;  // absolute path; also argv[0]
    const std::vector<std::string>& arguments;
    const EnvironmentBlock& environment;
    const std::string& currentDirectory;  // empty: the parent's
    std::array<int, 3> standardSources;   // parent descriptors that become 0, 1, 2
    bool ownProcessGroup = false;         // the child leads a new process group
};

// Starts the child with posix_spawn. The child receives exactly descriptors
// 0-2, default signal dispositions and an empty signal mask. Throws
// LaunchError when the executable cannot be run and SystemError when the
// working directory cannot be entered.
pid_t spawnChild(const SpawnRequest& request);

}  // namespace platform
