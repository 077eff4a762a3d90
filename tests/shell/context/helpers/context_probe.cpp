// Reports what the main context sees, for tests that need a fresh process or
// one started in a particular way. The environment variable PROBE_MODE picks
// what to do, since the command line itself is under test.

#include <cstdlib>
#include <iostream>
#include <string>

#include "shell/Context.h"

int main() {
    auto& context = shell::mainContext();
    const char* modeValue = std::getenv("PROBE_MODE");
    const std::string mode = modeValue ? modeValue : "";
    const char* argument = std::getenv("PROBE_ARGUMENT");

    if (mode == "identity") {
        std::cout << "path=" << context.path() << "\n";
        for (const auto& item : context.arguments())
            std::cout << "argument=" << item << "\n";
    } else if (mode == "tempdirectory") {
        std::cout << context.tempdirectory() << "\n" << context.tempdirectory() << "\n";
    } else if (mode == "chdir") {
        context.setCurrentdirectory(argument ? argument : "");
        std::cout << context.currentdirectory() << "\n";
    } else if (mode == "encoding") {
        // Streams take the encoding that is current when they are made.
        context.setEncoding(platform::TextEncoding::isoLatin1());
        std::cout << context.stdin()->encoding().name() << "\n";
        context.setEncoding(platform::TextEncoding::utf16LittleEndian());
        std::cout << context.stdin()->encoding().name() << "\n";
        std::cout << context.stderror()->encoding().name() << "\n";
        std::cout << context.stdout()->encoding().name() << "\n";
    } else {
        std::cerr << "unknown mode '" << mode << "'\n";
        return 2;
    }
    return 0;
}
