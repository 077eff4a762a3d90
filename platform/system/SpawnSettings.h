#pragma once

#include <spawn.h>

#include <string>

namespace platform {

// What a posix_spawn child does with its descriptors before exec, owned for
// the length of one launch.
class SpawnFileActions {
  public:
    SpawnFileActions();
    ~SpawnFileActions();
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;

    void dup2(int from, int to);
    void open(int fd, const char* path, int flags);
    void chdir(const std::string& path);
    void closeFrom(int from);
    const posix_spawn_file_actions_t* get() const noexcept { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_;
};

// Spawn attributes that start the child with an empty signal mask and every
// signal at its default, whatever the launching thread blocked or the parent
// ignored (an ignored SIGPIPE would otherwise be inherited).
class CleanSignalSpawnAttributes {
  public:
    CleanSignalSpawnAttributes();
    ~CleanSignalSpawnAttributes();
    CleanSignalSpawnAttributes(const CleanSignalSpawnAttributes&) = delete;
    CleanSignalSpawnAttributes& operator=(const CleanSignalSpawnAttributes&) = delete;

    // The child leads a new process group (its pid is the group's id).
    void startOwnProcessGroup();
    const posix_spawnattr_t* get() const noexcept { return &attributes_; }

  private:
    posix_spawnattr_t attributes_;
    short flags_ = 0;
};

}  // namespace platform
