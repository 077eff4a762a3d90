#include "shell/LazySplit.h"

namespace shell {

std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> lines;
    LineFeedScanner lineFeeds(text);
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = lineFeeds.find(start);
        if (end == LineFeedScanner::npos) {
            end = text.size();
        }
        if (end > start) {
            lines.emplace_back(text.substr(start, end - start));
        }
        start = end + 1;
    }
    return lines;
}

}  // namespace shell
