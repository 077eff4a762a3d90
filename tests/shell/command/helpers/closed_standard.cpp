// Started with standard input and output closed: runs a captured command and
// reports on standard error what it printed and how it ended.
#include <cstdio>

#include "shell/Shell.h"

int main() {
    auto run = shell::runCaptured("/bin/echo", "captured");
    std::fprintf(stderr, "%s|%d\n", run.stdout().c_str(), run.exitStatus());
    return 0;
}
