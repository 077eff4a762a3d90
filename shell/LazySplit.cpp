#include "shell/LazySplit.h"

namespace shell {

std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> lines;
    const std::string separator = "\n";
    while (!text.empty()) {
        const auto parts = SplitTraits<std::string>::cut(text, separator);
        const std::string_view head = parts ? parts->first : text;
        if (!head.empty()) {
            lines.emplace_back(head);
        }
        text = parts ? parts->second : std::string_view();
    }
    return lines;
}

}  // namespace shell
