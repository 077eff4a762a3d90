// Runs one operation that ends the process, named by the first argument; the
// test reads what reaches standard error and the exit status. Printing
// "returned" on standard output means the operation came back.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/system/Error.h"
#include "shell/Shell.h"

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
    } else {
        return 2;
    }
    std::printf("returned\n");
    return 0;
}
