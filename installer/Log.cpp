#include "installer/Log.h"

#include <cstdio>
#include <string>

namespace installer {

void log(std::initializer_list<std::string_view> items) {
    std::string line;
    bool first = true;
    for (auto item : items) {
        if (!first) {
            line += ' ';
        }
        line += item;
        first = false;
    }
    line += '\n';
    // One write per line keeps lines from different threads whole.
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

}  // namespace installer
