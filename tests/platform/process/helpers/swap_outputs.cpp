// Starts its arguments as a child whose standard output is this process's
// standard error and whose standard error is this process's standard output,
// so each source descriptor is itself another one of the targets 0-2.
#include <vector>

#include "platform/system/Process.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        return 2;
    }
    auto process =
        platform::Process::create({.executable = argv[1],
                                   .arguments = {argv + 2, argv + argc},
                                   .standardOutput = platform::FileHandle::standardError(),
                                   .standardError = platform::FileHandle::standardOutput()});
    process->launch();
    return process->exitStatus();
}
