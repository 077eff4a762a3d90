#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/system/Process.h"
#include "tests/platform/io/Support.h"
#include "tests/support/TemporaryDirectory.h"

namespace process_test {

using iotest::text;

inline std::string readAll(const std::shared_ptr<platform::Pipe>& pipe) {
    return text(pipe->readingEnd()->readAll());
}

// A child, not launched yet, running `bash -c script` with its outputs on
// pipes.
struct Child {
    std::shared_ptr<platform::Pipe> out = platform::Pipe::create();
    std::shared_ptr<platform::Pipe> err = platform::Pipe::create();
    std::shared_ptr<platform::Process> process;

    explicit Child(const std::string& script) : Child("/bin/bash", {"-c", script}) {}
    Child(const std::string& executable, std::vector<std::string> arguments,
          platform::ProcessStream input = {})
        : process(platform::Process::create(
              {.executable = executable,
               .arguments = std::move(arguments),
               .environment = std::map<std::string, std::string>{{"PATH", "/usr/bin:/bin"}},
               .standardInput = std::move(input),
               .standardOutput = out,
               .standardError = err})) {}
};

inline std::size_t openDescriptorCount() {
    return testsupport::namesIn("/proc/self/fd").size() - 1;  // less the listing's own
}

// Whether this process has a child the kernel still knows (running or zombie).
inline bool hasChildren() {
    return !(::waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD);
}

// The process state letter from /proc (R, S, T, Z, ...); '?' once it is gone.
inline char processState(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    auto close = line.rfind(')');
    return close == std::string::npos ? '?' : line[close + 2];
}

// Returns once every task already posted to the event thread
// has run and let go of what it held: termination deliveries run there one
// after another in order, and this one's process is gone only after its
// handler has returned.
inline void drainTerminationThread() {
    std::weak_ptr<platform::Process> delivered;
    {
        auto process = platform::Process::create({.executable = "/bin/true"});
        process->launch();
        process->wait();
        std::promise<void> done;
        process->setExitHandler([&](platform::Process&) { done.set_value(); });
        done.get_future().wait();
        delivered = process;
    }
    while (!delivered.expired()) {
        std::this_thread::yield();
    }
}

}  // namespace process_test
