#include "platform/system/ProcessSpawn.h"

#include <spawn.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "platform/system/Error.h"
#include "platform/system/Process.h"
#include "platform/system/SpawnSettings.h"

namespace platform {

namespace {

// argv: the executable's path, then the arguments. posix_spawn takes
// char* const[] but never writes through it.
std::vector<char*> argumentPointers(const std::string& executable,
                                    const std::vector<std::string>& arguments) {
    std::vector<char*> pointers;
    pointers.reserve(arguments.size() + 2);
    pointers.push_back(const_cast<char*>(executable.c_str()));
    for (const auto& argument : arguments) {
        pointers.push_back(const_cast<char*>(argument.c_str()));
    }
    pointers.push_back(nullptr);
    return pointers;
}

// Whether moving sources[i] to descriptor i, in order, would replace a
// source that a later move still needs.
bool overwritesALaterSource(const std::array<int, 3>& sources) {
    for (int i = 0; i < 3; ++i) {
        for (int j = i + 1; j < 3; ++j) {
            if (sources[j] == i && sources[i] != i) {
                return true;
            }
        }
    }
    return false;
}

bool isDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

pid_t spawnChild(const SpawnRequest& request) {
    SpawnFileActions actions;
    if (!request.currentDirectory.empty()) {
        actions.chdir(request.currentDirectory);
    }
    // Each dup2 (and the validity check glibc makes on every action) costs a
    // system call, so sources go straight into place unless one would be
    // overwritten before it is copied: a source that is itself one of 0-2
    // (the child's output going to the parent's standard error, say). Then
    // every source is first copied above all of them, then moved into place.
    // dup2, also onto itself, leaves the result inheritable.
    const auto& sources = request.standardSources;
    if (overwritesALaterSource(sources)) {
        int staging = std::max({sources[0], sources[1], sources[2], 2}) + 1;
        for (int i = 0; i < 3; ++i) {
            actions.dup2(sources[i], staging + i);
        }
        for (int i = 0; i < 3; ++i) {
            actions.dup2(staging + i, i);
        }
    } else {
        for (int i = 0; i < 3; ++i) {
            actions.dup2(sources[i], i);
        }
    }
    actions.closeFrom(3);

    CleanSignalSpawnAttributes attributes;
    if (request.ownProcessGroup) {
        attributes.startOwnProcessGroup();
    }

    auto argv = argumentPointers(request.executable, request.arguments);
    auto envp = request.environment.pointers();

    pid_t pid = 0;
    int result = posix_spawn(&pid, request.executable.c_str(), actions.get(), attributes.get(),
                             argv.data(), envp.data());
    if (result != 0) {
        // The child's chdir and exec report through the same errno; tell a
        // missing working directory apart from a missing executable.
        if (!request.currentDirectory.empty() && (result == ENOENT || result == ENOTDIR) &&
            !isDirectory(request.currentDirectory)) {
            throw SystemError("Cannot enter working directory '" + request.currentDirectory + "'",
                              result);
        }
        throw LaunchError(request.executable, result);
    }
    return pid;
}

}  // namespace platform
