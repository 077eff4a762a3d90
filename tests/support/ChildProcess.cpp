#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

#include "platform/system/SpawnSettings.h"

extern char** environ;

namespace testsupport {
namespace {

[[noreturn]] void fail(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, Input input) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        fail(errno, "pipe2");
    }
    int inputFds[2] = {-1, -1};
    if (input == Input::heldOpen && pipe2(inputFds, O_CLOEXEC) != 0) {
        const int error = errno;
        close(fds[0]);
        close(fds[1]);
        fail(error, "pipe2");
    }
    platform::SpawnFileActions actions;
    if (input == Input::heldOpen) {
        actions.dup2(inputFds[0], 0);
    } else {
        actions.open(0, "/dev/null", O_RDONLY);
    }
    actions.dup2(fds[1], 1);
    platform::CleanSignalSpawnAttributes attributes;

    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    int error = posix_spawnp(&pid_, args[0], actions.get(), attributes.get(), args.data(), environ);
    close(fds[1]);
    if (inputFds[0] >= 0) {
        close(inputFds[0]);
    }
    heldInput_ = inputFds[1];
    if (error != 0) {
        close(fds[0]);
        if (heldInput_ >= 0) {
            close(heldInput_);
        }
        fail(error, "posix_spawnp " + argv.at(0));
    }
    output_ = fds[0];
}

ChildProcess::~ChildProcess() {
    if (!status_) {
        signal(SIGKILL);
        wait();
    }
    closeOutput();
    if (heldInput_ >= 0) {
        close(heldInput_);
    }
}

std::optional<std::string> ChildProcess::readLine() {
    for (;;) {
        if (std::size_t newline = pending_.find('\n'); newline != std::string::npos) {
            std::string line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            return line;
        }
        char buffer[4096];
        ssize_t n = output_ < 0 ? 0 : read(output_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (pending_.empty()) {
                return std::nullopt;
            }
            return std::exchange(pending_, {});
        }
        pending_.append(buffer, static_cast<std::size_t>(n));
    }
}

std::string ChildProcess::readAll() {
    std::string text = std::exchange(pending_, {});
    char buffer[65536];
    while (output_ >= 0) {
        ssize_t n = read(output_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

void ChildProcess::closeOutput() {
    if (output_ >= 0) {
        close(output_);
        output_ = -1;
    }
}

void ChildProcess::signal(int signalNumber) {
    if (!status_) {
        kill(pid_, signalNumber);
    }
}

int ChildProcess::wait() {
    while (!status_) {
        int raw = 0;
        if (waitpid(pid_, &raw, 0) < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail(errno, "waitpid");
        }
        status_ = WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : WEXITSTATUS(raw);
    }
    return *status_;
}

ProgramResult runProgram(const std::vector<std::string>& argv) {
    ChildProcess child(argv);
    std::string output = child.readAll();
    return ProgramResult{child.wait(), std::move(output)};
}

}  // namespace testsupport
