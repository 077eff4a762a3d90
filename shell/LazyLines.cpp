#include "shell/LazyLines.h"

namespace shell {

bool LazyLines::nextAcrossChunks(std::string& line) {
    line.clear();
    bool found = false;
    // A loop, not a recursion: a million chunks without a line feed use no
    // more stack than one.
    for (;;) {
        if (inChunk_) {
            const std::size_t end = lineFeeds_.find(position_);
            if (end != LineFeedScanner::npos) {
                line.append(chunk_, position_, end - position_);
                position_ = end + 1;
                return true;
            }
            // The rest of the chunk, even when empty, may go on in the next.
            line.append(chunk_, position_);
            inChunk_ = false;
            found = true;
        }
        // Let go of the finished chunk before reading the next, so that at
        // most one is held and its memory can be reused.
        chunk_ = std::string();
        std::optional<std::string> next = source_ ? (*source_)() : std::nullopt;
        if (!next) {
            return found;
        }
        chunk_ = std::move(*next);
        position_ = 0;
        lineFeeds_ = LineFeedScanner(chunk_);
        inChunk_ = true;
    }
}

}  // namespace shell
