#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/system/Pipe.h"
#include "platform/system/SpawnSettings.h"

extern char** environ;

namespace testsupport {

ChildProcess::ChildProcess(const std::vector<std::string>& argv, Input input) {
    // The parent's copies of the child's ends close with these pipes.
    const auto output = platform::Pipe::create();
    std::shared_ptr<platform::Pipe> heldInput;
    platform::SpawnFileActions actions;
    if (input == Input::heldOpen) {
        heldInput = platform::Pipe::create();
        actions.dup2(heldInput->readingEnd()->descriptor(), 0);
    } else {
        actions.open(0, "/dev/null", O_RDONLY);
    }
    actions.dup2(output->writingEnd()->descriptor(), 1);
    platform::CleanSignalSpawnAttributes attributes;
    std::vector<char*> args;
    for (const std::string& argument : argv) {
        args.push_back(const_cast<char*>(argument.c_str()));
    }
    args.push_back(nullptr);
    if (int error =
            posix_spawnp(&pid_, args[0], actions.get(), attributes.get(), args.data(), environ)) {
        throw std::system_error(error, std::generic_category(), "posix_spawnp " + argv.at(0));
    }
    output_ = output->readingEnd();
    if (heldInput) {
        heldInput_ = heldInput->writingEnd();
    }
}

ChildProcess::~ChildProcess() {
    signal(SIGKILL);
    wait();
}

std::optional<std::string> ChildProcess::readLine() {
    std::string line;
    char c = 0;
    for (ssize_t n; (n = read(output_->descriptor(), &c, 1)) == 1 || (n < 0 && errno == EINTR);) {
        if (n == 1 && c == '\n') {
            return line;
        }
        if (n == 1) {
            line += c;
        }
    }
    return line.empty() ? std::nullopt : std::optional(line);
}

std::string ChildProcess::readAll() {
    const platform::Bytes bytes = output_->readAll();
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

void ChildProcess::signal(int signalNumber) {
    if (!status_) {
        kill(pid_, signalNumber);
    }
}

int ChildProcess::wait() {
    while (!status_) {
        int raw = 0;
        if (waitpid(pid_, &raw, 0) == pid_) {
            status_ = WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : WEXITSTATUS(raw);
        } else if (errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "waitpid");
        }
    }
    return *status_;
}

ProgramResult runProgram(const std::vector<std::string>& argv) {
    ChildProcess child(argv);
    std::string output = child.readAll();
    return ProgramResult{child.wait(), std::move(output)};
}

}  // namespace testsupport
