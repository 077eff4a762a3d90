#pragma once

// The lines of chunked UTF-8 text, each as a std::string: what a stream's
// lines() is made of. `readSome` returns the next chunk, or std::nullopt at the
// end of input.
//
//   for (const std::string& line : shell::lazyLines(readSome)) { ... }
//
// The pieces are those of a PartialSourceLazySplitSequence<std::string> with
// the separator "\n" (LazySplit.h): each step reads no more chunks than it
// needs; a line cut by chunk boundaries comes out whole; "\r\n" inside one
// chunk is one character and does not end a line, while a "\r" that ends one
// chunk and a "\n" that starts the next do; input that ends in "\n" ends with
// an empty line; after the source has run dry, a further step asks it again.
// Lines are what is split most, so this is made for them alone: a line inside
// one chunk costs a look at a bit mask and one copy.
//
// A source can also refill one chunk in place (LazyLines::Refill), so that a
// long input is read into the same memory over and over; a stream's lines()
// does that.

#include <cstddef>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <ranges>
#include <string>
#include <utility>

#include "shell/LineFeeds.h"

namespace shell {

// Dereferencing an iterator gives a string that the next step overwrites (so
// iterating by `const std::string&` allocates nothing per line); copy it to
// keep it, or use next(), which returns a string of its own. An input range
// (a view) that is its own iterator: iterating again goes on where the last
// iteration stopped. Copies share the source.
class LazyLines : public std::ranges::view_base {
  public:
    using Source = std::function<std::optional<std::string>()>;
    // Replaces the contents of `chunk` with the next chunk, reusing its
    // memory, and says whether there was one (false at the end of input).
    using Refill = std::function<bool(std::string& chunk)>;

    class iterator {
      public:
        using value_type = std::string;
        using difference_type = std::ptrdiff_t;
        using iterator_concept = std::input_iterator_tag;

        iterator() = default;
        explicit iterator(LazyLines& lines) : lines_(&lines) { ++*this; }

        const std::string& operator*() const noexcept { return line_; }
        const std::string* operator->() const noexcept { return &line_; }
        iterator& operator++() {
            done_ = !lines_->nextInto(line_);
            return *this;
        }
        void operator++(int) { ++*this; }
        friend bool operator==(const iterator& it, std::default_sentinel_t) noexcept {
            return it.done_;
        }

      private:
        LazyLines* lines_ = nullptr;
        std::string line_;
        bool done_ = true;
    };

    LazyLines() = default;
    // Reads nothing yet.
    explicit LazyLines(Source source);
    // Reads nothing yet.
    static LazyLines refilling(Refill refill);
    // A copy holds its own copy of the current chunk and goes on from the
    // same place; the finder of line feeds must then look at that copy.
    LazyLines(const LazyLines& other);
    LazyLines(LazyLines&& other) noexcept;
    LazyLines& operator=(const LazyLines& other);
    LazyLines& operator=(LazyLines&& other) noexcept;
    ~LazyLines() = default;

    std::optional<std::string> next() {
        std::string line;
        if (nextInto(line)) {
            return line;
        }
        return std::nullopt;
    }

    // Puts the next line into `line`, reusing its capacity, and says whether
    // there was one; `line` is left empty when there was not.
    bool nextInto(std::string& line) {
        if (inChunk_) {
            const std::size_t end = lineFeeds_.next();
            if (end != LineFeedScanner::npos) {
                copyLine(line, end);
                position_ = end + 1;
                return true;
            }
        }
        return nextAcrossChunks(line);
    }

    iterator begin() { return iterator(*this); }
    std::default_sentinel_t end() const noexcept { return {}; }

  private:
    // Lines up to this long are copied as a block of exactly this size and
    // then cut back: a copy whose length varies from line to line costs a
    // mispredicted branch inside memcpy, which is more than the extra bytes.
    static constexpr std::size_t shortLine = 128;

    // Makes `line` the chunk's bytes from position_ up to `end`.
    void copyLine(std::string& line, std::size_t end) {
        const char* const start = chunk_.data() + position_;
        const std::size_t length = end - position_;
        if (length <= shortLine && chunk_.size() - position_ >= shortLine) {
            line.assign(start, shortLine);
            line.erase(length);
        } else {
            line.assign(start, length);
        }
    }

    // The line that runs to the end of the current chunk, joined with what
    // follows in the next chunks.
    bool nextAcrossChunks(std::string& line);

    std::shared_ptr<Refill> refill_;
    // The chunk being split and where its next line starts; inChunk_ is
    // false before the first chunk and once the chunk's last piece (up to
    // its end, possibly empty) has been taken. Its memory is handed back to
    // the source for the next chunk.
    std::string chunk_;
    std::size_t position_ = 0;
    bool inChunk_ = false;
    LineFeedScanner lineFeeds_;
};

inline LazyLines lazyLines(LazyLines::Source source) {
    return LazyLines(std::move(source));
}

}  // namespace shell
