// Started as the first process of a new pid namespace, where pids are handed
// out one after another and only to this process's threads and children. So
// the namespace's last pid counts the processes an operation starts. Prints
// one count per line: resolving a plain name, resolving a path, and a
// captured run of a plain name.
#include <cstdio>
#include <fstream>

#include "shell/Shell.h"

namespace {

long lastPid() {
    std::ifstream file("/proc/sys/kernel/ns_last_pid");
    long pid = -1;
    file >> pid;
    return pid;
}

template <class Operation>
long processesStartedBy(Operation operation) {
    long before = lastPid();
    operation();
    return lastPid() - before;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        return 2;
    }
    const std::string name = argv[1];
    // Whatever the runner starts once, before counting.
    shell::runCaptured("/bin/true");

    shell::Context& context = shell::mainContext();
    std::printf("%ld\n", processesStartedBy([&] { shell::resolveExecutable(name, context); }));
    std::printf("%ld\n",
                processesStartedBy([&] { shell::resolveExecutable("/bin/" + name, context); }));
    std::printf("%ld\n", processesStartedBy([&] { shell::runCaptured(name); }));
    return 0;
}
