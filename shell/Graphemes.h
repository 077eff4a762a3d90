#pragma once

// UTF-8 text as a sequence of characters in the user's sense: extended
// grapheme clusters (Unicode Standard Annex #29). Line splitting compares
// these, so that "\r\n" is one character and a letter with a combining mark is
// never mistaken for the bare letter.
//
// Bytes that are not valid UTF-8 count as one character each (as U+FFFD
// would), so any byte string can be walked without failing.

#include <cstddef>
#include <iterator>
#include <ranges>
#include <string_view>

namespace shell {

// The end of the character that starts at byte `pos` of `text`; `pos` must be
// below text.size() and at a character boundary.
std::size_t nextGraphemeBoundary(std::string_view text, std::size_t pos) noexcept;

// True when `text` is exactly one character.
bool isSingleGrapheme(std::string_view text) noexcept;

// Byte offset of the first character of `text` that equals `character` (byte
// for byte), or std::string_view::npos. A character that is a single ASCII
// control byte, such as "\n", is found with memchr: such a byte is always a
// character of its own, except that CR directly followed by LF is one.
std::size_t findGrapheme(std::string_view text, std::string_view character) noexcept;

// A forward range over the characters of a text, each as a view of its bytes.
// It does not own the text.
class Graphemes : public std::ranges::view_base {
  public:
    class iterator {
      public:
        using value_type = std::string_view;
        using reference = std::string_view;
        using difference_type = std::ptrdiff_t;
        using iterator_category = std::forward_iterator_tag;
        using iterator_concept = std::forward_iterator_tag;

        iterator() = default;
        iterator(std::string_view text, std::size_t pos) noexcept
            : text_(text), pos_(pos), next_(boundaryAfter(pos)) {}

        std::string_view operator*() const noexcept { return text_.substr(pos_, next_ - pos_); }
        iterator& operator++() noexcept {
            pos_ = next_;
            next_ = boundaryAfter(pos_);
            return *this;
        }
        iterator operator++(int) noexcept {
            iterator old = *this;
            ++*this;
            return old;
        }
        // Byte offset of the current character in the text.
        std::size_t offset() const noexcept { return pos_; }

        friend bool operator==(const iterator& a, const iterator& b) noexcept {
            return a.pos_ == b.pos_;
        }

      private:
        std::size_t boundaryAfter(std::size_t pos) const noexcept {
            return pos < text_.size() ? nextGraphemeBoundary(text_, pos) : pos;
        }

        std::string_view text_;
        std::size_t pos_ = 0;
        std::size_t next_ = 0;
    };

    Graphemes() = default;
    explicit Graphemes(std::string_view text) noexcept : text_(text) {}

    iterator begin() const noexcept { return iterator(text_, 0); }
    iterator end() const noexcept { return iterator(text_, text_.size()); }
    bool empty() const noexcept { return text_.empty(); }
    std::string_view text() const noexcept { return text_; }

  private:
    std::string_view text_;
};

}  // namespace shell

template <>
inline constexpr bool std::ranges::enable_borrowed_range<shell::Graphemes> = true;
