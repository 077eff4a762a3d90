// Runs one removal or move and reports how it went, so the tests can run it
// in a process that obeys permission bits:
//   removal-probe remove PATH
//   removal-probe replace DESTINATION SOURCE
// Prints "ok", or the error's description; the exit status is 0 or 1.

#include <cstdio>
#include <exception>
#include <string_view>

#include "platform/system/ItemMove.h"
#include "platform/system/TreeRemoval.h"

int main(int argc, char** argv) {
    try {
        std::string_view command = argc > 1 ? argv[1] : "";
        if (command == "remove" && argc == 3) {
            platform::removeTree(argv[2]);
        } else if (command == "replace" && argc == 4) {
            platform::replaceItem(argv[2], argv[3]);
        } else {
            std::fputs("usage: removal-probe remove PATH | replace DESTINATION SOURCE\n", stderr);
            return 2;
        }
    } catch (const std::exception& error) {
        std::printf("%s\n", error.what());
        return 1;
    }
    std::printf("ok\n");
    return 0;
}
