#include "installer/engine/Log.h"

#include <cstdio>

namespace installer {

std::string logLine(std::initializer_list<std::string_view> items) {
    std::string line;
    bool first = true;
    for (auto item : items) {
        if (!first) {
            line += ' ';
        }
        line += item;
        first = false;
    }
    return line;
}

void writeLogLine(std::string_view line) {
    std::string text(line);
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

}  // namespace installer
