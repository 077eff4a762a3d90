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
    explicit LazyLines(Source source) : source_(std::make_shared<Source>(std::move(source))) {}

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
            const std::size_t end = lineFeeds_.find(position_);
            if (end != LineFeedScanner::npos) {
                line.clear();
                line.append(chunk_.data() + position_, end - position_);
                position_ = end + 1;
                return true;
            }
        }
        return nextAcrossChunks(line);
    }

    iterator begin() { return iterator(*this); }
    std::default_sentinel_t end() const noexcept { return {}; }

  private:
    // The line that runs to the end of the current chunk, joined with what
    // follows in the next chunks.
    bool nextAcrossChunks(std::string& line);

    std::shared_ptr<Source> source_;
    // The chunk being split and where its next line starts; inChunk_ is
    // false before the first chunk and once the chunk's last piece (up to
    // its end, possibly empty) has been taken.
    std::string chunk_;
    std::size_t position_ = 0;
    bool inChunk_ = false;
    LineFeedScanner lineFeeds_;
};

inline LazyLines lazyLines(LazyLines::Source source) {
    return LazyLines(std::move(source));
}

}  // namespace shell
