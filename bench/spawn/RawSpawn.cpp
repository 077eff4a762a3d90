#include "RawSpawn.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

extern char** environ;

std::size_t rawSpawnCaptured(const std::string& executable, const std::string& argument) {
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> argv{const_cast<char*>(executable.c_str())};
    if (!argument.empty()) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawn(&pid, executable.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
        throw std::runtime_error("posix_spawn");
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);

    std::size_t total = 0;
    static std::vector<char> buffer(1 << 20);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        ::poll(fds, 2, -1);
        for (auto& entry : fds) {
            if (entry.fd < 0 || entry.revents == 0) {
                continue;
            }
            ssize_t count = ::read(entry.fd, buffer.data(), buffer.size());
            if (count > 0) {
                if (entry.fd == out[0]) {
                    total += static_cast<std::size_t>(count);
                }
            } else if (count == 0 || errno != EINTR) {
                ::close(entry.fd);
                entry.fd = -1;
                --open;
            }
        }
    }
    int status;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return total;
}

CapturedBytes rawCaptureToMemory(const std::string& file) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2");
    }
    // The capacity the runner gives a pipe that has more than 64 KiB to say,
    // here from the start.
    ::fcntl(out[0], F_SETPIPE_SZ, 1 << 20);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    const std::string cat = "/bin/cat";
    std::vector<char*> argv{const_cast<char*>(cat.c_str()), const_cast<char*>(file.c_str()),
                            nullptr};
    pid_t pid;
    if (posix_spawn(&pid, cat.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
        throw std::runtime_error("posix_spawn");
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    // Read through a small buffer that stays in the cache and appended, as
    // the runner does: read() straight into fresh memory takes each page
    // fault inside the pipe's lock, and the writer waits through them;
    // faulted here, they overlap with its writing. The buffer grows as the
    // runner's does (four times, twice past 1 GiB, huge pages asked for from
    // 4 MiB), and only when bytes come that do not fit: both pay the same
    // copies and page faults.
    CapturedBytes captured;
    std::size_t capacity = 0;
    std::size_t& size = captured.size;
    static char chunk[1 << 16];
    for (;;) {
        const ssize_t count = ::read(out[0], chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break;
        }
        const auto bytes = static_cast<std::size_t>(count);
        if (capacity - size < bytes) {
            capacity =
                std::max(size + bytes, capacity * (capacity < (std::size_t{1} << 30) ? 4 : 2));
            auto* bigger = static_cast<char*>(std::malloc(capacity));
            constexpr std::uintptr_t hugePage = 2 << 20;
            const auto start = reinterpret_cast<std::uintptr_t>(bigger);
            const std::uintptr_t begin = (start + hugePage - 1) & ~(hugePage - 1);
            const std::uintptr_t end = (start + capacity) & ~(hugePage - 1);
            if (capacity >= (std::size_t{4} << 20) && end > begin) {
                ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
            }
            if (size > 0) {
                std::memcpy(bigger, captured.bytes.get(), size);
            }
            captured.bytes.reset(bigger);
        }
        std::memcpy(captured.bytes.get() + size, chunk, bytes);
        size += bytes;
    }
    ::close(out[0]);
    int status;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return captured;
}
