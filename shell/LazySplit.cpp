#include "shell/LazySplit.h"

namespace shell {

std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> lines;
    const std::string separator = "\n";
    while (!text.empty()) {
        const auto cut = SplitTraits<std::string>::cut(text, separator);
        if (!cut.head.empty()) {
            lines.emplace_back(cut.head);
        }
        text = cut.tail;
    }
    return lines;
}

}  // namespace shell
