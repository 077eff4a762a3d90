#include <iostream>
#include <string>

#include "shell/Shell.h"

int main() {
    // Runs to the end; output, status and any error are in the result.
    shell::RunOutput greeting = shell::runCaptured("echo", "hello from", "echo");
    std::cout << greeting.stdout() << '\n';

    shell::RunOutput missing = shell::runCaptured("ls", "/no/such/folder");
    std::cout << "ls exited with " << missing.exitStatus() << '\n';

    // Starts and goes on; the output is read line by line as it comes.
    auto counting = shell::startCaptured("seq", 1, 3);
    for (const std::string& line : counting->stdout()->lines()) {
        if (!line.empty()) {  // output that ends in "\n" ends with an empty line
            std::cout << "line " << line << '\n';
        }
    }
    try {
        counting->waitForSuccess();
        shell::runEchoing("false");
    } catch (const shell::CommandError& error) {
        std::cout << error.description() << '\n';
    }
    return 0;
}
