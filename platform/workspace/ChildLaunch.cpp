#include "platform/workspace/ChildLaunch.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/system/Error.h"
#include "platform/system/SpawnSettings.h"

extern char** environ;

namespace platform::workspace {
namespace {

// An argument vector that lives while the strings it points into live.
std::vector<char*> argumentVector(const std::string& program,
                                  const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    return argv;
}

class Descriptor {
  public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const noexcept { return fd_; }
    void reset() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

  private:
    int fd_;
};

void waitForExit(pid_t pid, int* status) {
    while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
    }
}

// Between fork and exec only async-signal-safe calls are made.
[[noreturn]] void becomeProgram(const char* path, char* const* argv, int report) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
        sigaction(signalNumber, &standard, nullptr);
    }
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        if (null > 2) {
            ::close(null);
        }
    }
    // Descriptors some library opened without close-on-exec stay behind too.
    syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC);
    if (chdir("/") == 0) {
        execve(path, argv, environ);
    }
    int error = errno;
    [[maybe_unused]] ssize_t ignored = ::write(report, &error, sizeof error);
    _exit(127);
}

}  // namespace

bool launchDetached(const std::filesystem::path& executable,
                    const std::vector<std::string>& arguments) {
    const std::string path = executable.string();
    std::vector<char*> argv = argumentVector(path, arguments);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        throw SystemError("pipe2", errno);
    }
    Descriptor reading(fds[0]);
    Descriptor writing(fds[1]);

    pid_t middle = fork();
    if (middle < 0) {
        throw SystemError("fork", errno);
    }
    if (middle == 0) {
        // The middle process only starts the program and leaves, so the
        // program is handed to the system's reaper rather than to us.
        setsid();
        pid_t program = _Fork();  // async-signal-safe, unlike fork()

        if (program == 0) {
            becomeProgram(path.c_str(), argv.data(), writing.get());
        }
        if (program < 0) {
            int error = errno;
            [[maybe_unused]] ssize_t ignored = ::write(writing.get(), &error, sizeof error);
        }
        _exit(0);
    }
    writing.reset();
    int status = 0;
    waitForExit(middle, &status);

    // End of input without a word means exec succeeded (close-on-exec).
    int childError = 0;
    ssize_t n;
    while ((n = ::read(reading.get(), &childError, sizeof childError)) < 0 && errno == EINTR) {
    }
    return n == 0;
}

std::optional<int> runBriefly(const std::filesystem::path& executable,
                              const std::vector<std::string>& arguments,
                              std::chrono::milliseconds limit) {
    const std::string path = executable.string();
    std::vector<char*> argv = argumentVector(path, arguments);

    SpawnFileActions actions;
    for (int fd = 0; fd <= 2; ++fd) {
        actions.open(fd, "/dev/null", O_RDWR);
    }
    CleanSignalSpawnAttributes attributes;
    pid_t pid = 0;
    int error =
        posix_spawn(&pid, path.c_str(), actions.get(), attributes.get(), argv.data(), environ);
    if (error != 0) {
        return std::nullopt;
    }

    Descriptor process(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    bool ended = true;
    if (process.get() >= 0) {
        pollfd watch{process.get(), POLLIN, 0};
        int ready;
        while ((ready = poll(&watch, 1, static_cast<int>(limit.count()))) < 0 && errno == EINTR) {
        }
        ended = ready > 0;
    }
    if (!ended) {
        kill(pid, SIGKILL);
    }
    int status = 0;
    waitForExit(pid, &status);
    if (!ended || !WIFEXITED(status)) {
        return std::nullopt;
    }
    return WEXITSTATUS(status);
}

std::optional<std::filesystem::path> findExecutable(const std::string& name) {
    const char* variable = std::getenv("PATH");
    std::string_view directories = variable != nullptr ? variable : "/usr/local/bin:/usr/bin:/bin";
    while (!directories.empty()) {
        std::size_t colon = directories.find(':');
        std::string_view directory = directories.substr(0, colon);
        directories.remove_prefix(colon == std::string_view::npos ? directories.size() : colon + 1);
        if (directory.empty()) {
            continue;
        }
        std::filesystem::path candidate = std::filesystem::path(directory) / name;
        std::error_code ignored;
        if (std::filesystem::is_regular_file(candidate, ignored) &&
            access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return std::nullopt;
}

}  // namespace platform::workspace
