#include "shell/LazyLines.h"

#include <utility>

namespace shell {

LazyLines::LazyLines(Source source)
    : refill_(std::make_shared<Refill>([source = std::move(source)](std::string& chunk) {
          // Let go of the finished chunk before reading the next, so that at
          // most one is held and its memory can be reused.
          chunk = std::string();
          std::optional<std::string> next = source();
          if (!next) {
              return false;
          }
          chunk = std::move(*next);
          return true;
      })) {}

LazyLines::LazyLines(const LazyLines& other)
    : refill_(other.refill_),
      chunk_(other.chunk_),
      position_(other.position_),
      inChunk_(other.inChunk_),
      lineFeeds_(other.lineFeeds_) {
    lineFeeds_.rebase(chunk_);
}

LazyLines::LazyLines(LazyLines&& other) noexcept
    : refill_(std::move(other.refill_)),
      chunk_(std::move(other.chunk_)),
      position_(other.position_),
      inChunk_(std::exchange(other.inChunk_, false)),
      lineFeeds_(other.lineFeeds_) {
    lineFeeds_.rebase(chunk_);
}

LazyLines& LazyLines::operator=(const LazyLines& other) {
    if (this != &other) {
        *this = LazyLines(other);
    }
    return *this;
}

LazyLines& LazyLines::operator=(LazyLines&& other) noexcept {
    if (this == &other) {
        return *this;
    }
    refill_ = std::move(other.refill_);
    chunk_ = std::move(other.chunk_);
    position_ = other.position_;
    inChunk_ = std::exchange(other.inChunk_, false);
    lineFeeds_ = other.lineFeeds_;
    lineFeeds_.rebase(chunk_);
    return *this;
}

LazyLines LazyLines::refilling(Refill refill) {
    LazyLines lines;
    lines.refill_ = std::make_shared<Refill>(std::move(refill));
    return lines;
}

bool LazyLines::nextAcrossChunks(std::string& line) {
    line.clear();
    bool found = false;
    // A loop, not a recursion: a million chunks without a line feed use no
    // more stack than one.
    for (;;) {
        if (inChunk_) {
            const std::size_t end = lineFeeds_.next();
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
        if (!refill_ || !(*refill_)(chunk_)) {
            chunk_ = std::string();
            return found;
        }
        position_ = 0;
        lineFeeds_ = LineFeedScanner(chunk_);
        inChunk_ = true;
    }
}

}  // namespace shell
