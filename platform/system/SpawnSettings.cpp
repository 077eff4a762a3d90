#include "platform/system/SpawnSettings.h"

#include <signal.h>

#include "platform/system/Error.h"

namespace platform {

namespace {

void check(int result, const char* operation) {
    if (result != 0) {
        throw SystemError(operation, result);
    }
}

}  // namespace

SpawnFileActions::SpawnFileActions() {
    check(posix_spawn_file_actions_init(&actions_), "posix_spawn_file_actions_init");
}

SpawnFileActions::~SpawnFileActions() {
    posix_spawn_file_actions_destroy(&actions_);
}

void SpawnFileActions::dup2(int from, int to) {
    check(posix_spawn_file_actions_adddup2(&actions_, from, to),
          "posix_spawn_file_actions_adddup2");
}

void SpawnFileActions::open(int fd, const char* path, int flags) {
    check(posix_spawn_file_actions_addopen(&actions_, fd, path, flags, 0),
          "posix_spawn_file_actions_addopen");
}

void SpawnFileActions::chdir(const std::string& path) {
    check(posix_spawn_file_actions_addchdir_np(&actions_, path.c_str()),
          "posix_spawn_file_actions_addchdir_np");
}

void SpawnFileActions::closeFrom(int from) {
    check(posix_spawn_file_actions_addclosefrom_np(&actions_, from),
          "posix_spawn_file_actions_addclosefrom_np");
}

CleanSignalSpawnAttributes::CleanSignalSpawnAttributes() {
    check(posix_spawnattr_init(&attributes_), "posix_spawnattr_init");
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes_, &none);
    posix_spawnattr_setsigdefault(&attributes_, &all);
    flags_ = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    posix_spawnattr_setflags(&attributes_, flags_);
}

void CleanSignalSpawnAttributes::startOwnProcessGroup() {
    check(posix_spawnattr_setpgroup(&attributes_, 0), "posix_spawnattr_setpgroup");
    flags_ = static_cast<short>(flags_ | POSIX_SPAWN_SETPGROUP);
    check(posix_spawnattr_setflags(&attributes_, flags_), "posix_spawnattr_setflags");
}

CleanSignalSpawnAttributes::~CleanSignalSpawnAttributes() {
    posix_spawnattr_destroy(&attributes_);
}

}  // namespace platform
