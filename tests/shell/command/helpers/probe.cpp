// A program the command tests start to do one thing in a process of its own,
// named by the first argument:
//  - an operation that ends the process (start-captured, start-echoing,
//    exit-with-*): the test reads standard error and the exit status, and
//    "returned" on standard output means the operation came back;
//  - captured-run: started with standard input and output closed, runs a
//    captured command and reports on standard error what it printed and how
//    it ended;
//  - count-lookups <name>: started as the first process of a new pid
//    namespace, where pids are handed out one after another and only to this
//    process's threads and children, so the namespace's last pid counts the
//    processes an operation starts. Prints one count per line: resolving a
//    plain name, resolving a path, and a captured run of a plain name.
#include <cstdio>
#include <fstream>
#include <string>

#include "platform/system/Error.h"
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
    if (argc < 2) {
        return 2;
    }
    const std::string mode = argv[1];
    const std::string argument = argc > 2 ? argv[2] : "";
    if (mode == "start-captured") {
        shell::startCaptured(argument, "an argument");
    } else if (mode == "start-echoing") {
        shell::startEchoing(argument);
    } else if (mode == "exit-with-returned-error-code") {
        shell::exitWithError(shell::CommandError::returnedErrorCode("tool -x", 42));
    } else if (mode == "exit-with-inaccessible-executable") {
        shell::exitWithError(shell::CommandError::inAccessibleExecutable("tool"));
    } else if (mode == "exit-with-platform-error") {
        shell::exitWithError(platform::Error("Something broke", 9));
    } else if (mode == "captured-run") {
        auto run = shell::runCaptured("/bin/echo", "captured");
        std::fprintf(stderr, "%s|%d\n", run.stdout().c_str(), run.exitStatus());
        return 0;
    } else if (mode == "count-lookups") {
        // Whatever the runner starts once, before counting.
        shell::runCaptured("/bin/true");
        shell::Context& context = shell::mainContext();
        std::printf("%ld\n",
                    processesStartedBy([&] { shell::resolveExecutable(argument, context); }));
        std::printf("%ld\n", processesStartedBy(
                                 [&] { shell::resolveExecutable("/bin/" + argument, context); }));
        std::printf("%ld\n", processesStartedBy([&] { shell::runCaptured(argument); }));
        return 0;
    } else {
        return 2;
    }
    std::printf("returned\n");
    return 0;
}
