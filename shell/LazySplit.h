#pragma once

// Lazy splitting of a collection, or of a collection that arrives in chunks,
// into the pieces between occurrences of a separator element.
//
//   // One collection; pieces are slices that share its storage.
//   for (const shell::TextSlice& piece : shell::split(std::string("a\nb"), "\n", true)) {
//       use(piece.view());
//   }
//
//   // Chunks from a source; a piece cut by a chunk boundary comes out whole.
//   shell::PartialSourceLazySplitSequence<std::string> pieces(readChunk, "\n");
//   while (auto piece = pieces.next()) { ... }
//
//   // Lines of chunked UTF-8 text, each as a std::string: the same pieces
//   // with the separator "\n", made for speed (LazyLines.h).
//   for (const std::string& line : shell::lazyLines(readSome)) { ... }
//
// For std::string the elements are characters (extended grapheme clusters, see
// Graphemes.h) and the separator is one character: "\r\n" in one chunk is a
// single character and never equals "\n". Any other collection is split by its
// own elements compared with ==.
//
// LazySplitSequence is a value and a forward range (a view): begin() starts
// from a copy of the position, so the sequence itself does not move, two
// loops over it see the same pieces and remaining() is the same after a loop
// as before; next() is what advances it. PartialSourceLazySplitSequence (and
// LazyLines) is single pass, an input range: its chunks come from a source
// that copies share and that gives each chunk once, so a loop consumes them
// and a second loop goes on where the first stopped.

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <ranges>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "shell/Graphemes.h"
#include "shell/LazyLines.h"
#include "shell/LineFeeds.h"

namespace shell {

// A pair of iterators as a range. (Not std::ranges::subrange: clang 14 cannot
// instantiate that with this standard library.)
template <class It>
class IteratorRange : public std::ranges::view_base {
  public:
    IteratorRange() = default;
    IteratorRange(It first, It last) : first_(first), last_(last) {}

    It begin() const { return first_; }
    It end() const { return last_; }
    bool empty() const { return first_ == last_; }

  private:
    It first_{};
    It last_{};
};

// A piece of a collection that keeps the collection alive, the way a
// substring would keep its string's storage.
template <class C>
class SharedSlice : public std::ranges::view_base {
  public:
    using Iterator = std::ranges::iterator_t<const C>;
    using View = IteratorRange<Iterator>;

    SharedSlice() = default;
    SharedSlice(std::shared_ptr<const C> storage, View view)
        : storage_(std::move(storage)), view_(view) {}
    // A slice of the whole of a new collection.
    explicit SharedSlice(C whole) : storage_(std::make_shared<const C>(std::move(whole))) {
        view_ = View(std::ranges::begin(*storage_), std::ranges::end(*storage_));
    }

    Iterator begin() const { return view_.begin(); }
    Iterator end() const { return view_.end(); }
    bool empty() const { return view_.empty(); }
    View view() const { return view_; }
    const std::shared_ptr<const C>& storage() const noexcept { return storage_; }

  private:
    std::shared_ptr<const C> storage_;
    View view_;
};

// A piece of UTF-8 text that keeps the text alive. Its elements are the
// text's characters; view() gives its bytes.
class TextSlice : public std::ranges::view_base {
  public:
    TextSlice() = default;
    TextSlice(std::shared_ptr<const std::string> storage, std::string_view view)
        : storage_(std::move(storage)), view_(view) {}
    explicit TextSlice(std::string whole)
        : storage_(std::make_shared<const std::string>(std::move(whole))), view_(*storage_) {}

    Graphemes::iterator begin() const noexcept { return Graphemes(view_).begin(); }
    Graphemes::iterator end() const noexcept { return Graphemes(view_).end(); }
    bool empty() const noexcept { return view_.empty(); }
    std::string_view view() const noexcept { return view_; }
    std::string str() const { return std::string(view_); }
    const std::shared_ptr<const std::string>& storage() const noexcept { return storage_; }

    friend bool operator==(const TextSlice& a, const TextSlice& b) noexcept {
        return a.view_ == b.view_;
    }
    friend bool operator==(const TextSlice& a, std::string_view b) noexcept { return a.view_ == b; }

  private:
    std::shared_ptr<const std::string> storage_;
    std::string_view view_;
};

// The parts of a view around its first separator: with none, `head` is the
// whole view and `found` is false.
template <class View>
struct Cut {
    View head;
    View tail;
    bool found;
};

// How a collection type is split: its element (the separator's type), the
// borrowed view splitting works on, the slice handed out, and how to find a
// separator and join pieces.
template <class C>
struct SplitTraits {
    using Element = std::ranges::range_value_t<const C>;
    using View = IteratorRange<std::ranges::iterator_t<const C>>;
    using Slice = SharedSlice<C>;

    static View whole(const C& c) { return View(std::ranges::begin(c), std::ranges::end(c)); }
    static bool isSeparator(const Element&) noexcept { return true; }
    static Cut<View> cut(View v, const Element& separator) {
        auto it = std::find(v.begin(), v.end(), separator);
        if (it == v.end()) {
            return {v, View(), false};
        }
        return {View(v.begin(), it), View(std::next(it), v.end()), true};
    }
    // Cuts the views that one whole is split into, front to back.
    struct Finder {
        Finder() = default;
        Finder(View, const Element&) {}
        Cut<View> cut(View v, const Element& separator) const {
            return SplitTraits::cut(v, separator);
        }
    };
    static bool isEmpty(View v) { return v.empty(); }
    static void append(C& to, View v) requires requires { to.insert(to.end(), v.begin(), v.end()); }
    { to.insert(to.end(), v.begin(), v.end()); }
};

// UTF-8 text, split by characters.
template <>
struct SplitTraits<std::string> {
    // One character; it may take several bytes ("\r\n", "e\u0301").
    using Element = std::string;
    using View = std::string_view;
    using Slice = TextSlice;

    static View whole(const std::string& s) noexcept { return s; }
    static bool isSeparator(const Element& e) noexcept { return isSingleGrapheme(e); }
    static Cut<View> cut(View v, const Element& separator) noexcept {
        return cutAt(v, isLineFeed(separator) ? findLineFeed(v) : findGrapheme(v, separator),
                     separator);
    }
    // Cuts the views that one text is split into, front to back. Lines are
    // what is split most: their line feeds are found in bulk, 64 bytes at a
    // time, instead of with one search per line.
    class Finder {
      public:
        Finder() = default;
        Finder(View whole, const Element& separator) noexcept
            : whole_(whole.data()),
              isLineFeed_(isLineFeed(separator)),
              lineFeeds_(isLineFeed_ ? LineFeedScanner(whole) : LineFeedScanner()) {}

        // `v` must be a suffix of the whole.
        Cut<View> cut(View v, const Element& separator) noexcept {
            if (!isLineFeed_) {
                return SplitTraits::cut(v, separator);
            }
            const auto from = static_cast<std::size_t>(v.data() - whole_);
            const std::size_t at = lineFeeds_.find(from);
            return cutAt(v, at == View::npos ? at : at - from, separator);
        }

      private:
        const char* whole_ = nullptr;
        bool isLineFeed_ = false;
        LineFeedScanner lineFeeds_;
    };
    static bool isEmpty(View v) noexcept { return v.empty(); }
    static void append(std::string& to, View v) { to.append(v); }

  private:
    static bool isLineFeed(const Element& separator) noexcept {
        return separator.size() == 1 && separator[0] == '\n';
    }
    static Cut<View> cutAt(View v, std::size_t at, const Element& separator) noexcept {
        if (at == View::npos) {
            return {v, View(), false};
        }
        return {v.substr(0, at), v.substr(at + separator.size()), true};
    }
};

template <class C>
concept SplittableCollection =
    std::ranges::forward_range<const C> && std::ranges::common_range<const C> &&
    std::equality_comparable<typename SplitTraits<C>::Element> && std::movable<C>;

// Collections whose pieces can be joined into a new collection.
template <class C>
concept JoinableCollection = SplittableCollection<C> && std::default_initializable<C> &&
    requires(C& c, typename SplitTraits<C>::View v) {
    SplitTraits<C>::append(c, v);
};

namespace detail {

// The iterator of a sequence that is its own iterator: it holds the piece
// taken last and takes the next one from the sequence when advanced.
template <class Sequence, class Piece>
class PieceIterator {
  public:
    using value_type = Piece;
    using difference_type = std::ptrdiff_t;
    using iterator_concept = std::input_iterator_tag;

    PieceIterator() = default;
    explicit PieceIterator(Sequence& sequence) : sequence_(&sequence), piece_(sequence.next()) {}

    const Piece& operator*() const { return *piece_; }
    const Piece* operator->() const { return &*piece_; }
    PieceIterator& operator++() {
        piece_ = sequence_->next();
        return *this;
    }
    void operator++(int) { ++*this; }
    friend bool operator==(const PieceIterator& it, std::default_sentinel_t) noexcept {
        return !it.piece_;
    }

  private:
    Sequence* sequence_ = nullptr;
    std::optional<Piece> piece_;
};

inline void checkSeparator(bool valid) {
    if (!valid) {
        throw std::invalid_argument("The separator must be exactly one character.");
    }
}

}  // namespace detail

// Splits one collection into the pieces between separators, one piece per
// request. Copying it copies its position.
template <SplittableCollection C>
class LazySplitSequence : public std::ranges::view_base {
    using Traits = SplitTraits<C>;

  public:
    using Element = typename Traits::Element;
    using View = typename Traits::View;
    using Slice = typename Traits::Slice;
    class iterator;

    LazySplitSequence() = default;
    LazySplitSequence(C collection, Element separator, bool allowEmptySlices)
        : LazySplitSequence(std::make_shared<const C>(std::move(collection)), std::move(separator),
                            allowEmptySlices) {}
    LazySplitSequence(std::shared_ptr<const C> storage, Element separator, bool allowEmptySlices)
        : storage_(std::move(storage)),
          remaining_(Traits::whole(*storage_)),
          hasRemaining_(true),
          separator_(std::move(separator)),
          allowEmptySlices_(allowEmptySlices),
          finder_(remaining_, separator_) {
        detail::checkSeparator(Traits::isSeparator(separator_));
    }
    // Splits what a slice covers, sharing its storage.
    LazySplitSequence(const Slice& slice, Element separator, bool allowEmptySlices)
        : storage_(slice.storage()),
          remaining_(slice.view()),
          hasRemaining_(true),
          separator_(std::move(separator)),
          allowEmptySlices_(allowEmptySlices),
          finder_(remaining_, separator_) {
        detail::checkSeparator(Traits::isSeparator(separator_));
    }

    // The part not split yet; none once the last piece has been taken.
    std::optional<Slice> remaining() const {
        if (!hasRemaining_) {
            return std::nullopt;
        }
        return Slice(storage_, remaining_);
    }
    const Element& separator() const noexcept { return separator_; }
    bool allowEmptySlices() const noexcept { return allowEmptySlices_; }

    // The next piece, or none when the sequence is finished (and it stays so).
    std::optional<Slice> next() {
        if (auto piece = nextView()) {
            return Slice(storage_, *piece);
        }
        return std::nullopt;
    }

    // Like next(), but the piece is borrowed from storage() instead of
    // sharing it; this saves a reference count per piece.
    std::optional<View> nextView() {
        // Skipping empty pieces is a loop: a long run of separators must not
        // deepen the stack.
        while (hasRemaining_) {
            const Cut<View> cut = finder_.cut(remaining_, separator_);
            remaining_ = cut.tail;
            hasRemaining_ = cut.found;
            if (allowEmptySlices_ || !Traits::isEmpty(cut.head)) {
                return cut.head;
            }
        }
        return std::nullopt;
    }

    bool hasRemaining() const noexcept { return hasRemaining_; }
    const std::shared_ptr<const C>& storage() const noexcept { return storage_; }

    // Walks a copy of the position; the sequence itself stays where it is.
    iterator begin() const { return iterator(*this); }
    std::default_sentinel_t end() const noexcept { return {}; }

  private:
    // Whether two copies of one sequence stand at the same place.
    bool samePositionAs(const LazySplitSequence& other) const {
        if (hasRemaining_ != other.hasRemaining_) {
            return false;
        }
        return !hasRemaining_ || remaining_.begin() == other.remaining_.begin();
    }

    std::shared_ptr<const C> storage_;
    View remaining_{};
    bool hasRemaining_ = false;
    Element separator_{};
    bool allowEmptySlices_ = true;
    // Holds where the search stands in the storage, so it is copied along
    // with the position.
    typename Traits::Finder finder_;
};

// Holds the piece taken last and a copy of the sequence after it; copies of
// an iterator walk on independently (multi-pass).
template <SplittableCollection C>
class LazySplitSequence<C>::iterator {
  public:
    using value_type = Slice;
    using difference_type = std::ptrdiff_t;
    using iterator_concept = std::forward_iterator_tag;
    using iterator_category = std::forward_iterator_tag;

    iterator() = default;
    explicit iterator(LazySplitSequence rest) : rest_(std::move(rest)), piece_(rest_.nextView()) {}

    Slice operator*() const { return Slice(rest_.storage(), *piece_); }
    iterator& operator++() {
        piece_ = rest_.nextView();
        return *this;
    }
    iterator operator++(int) {
        iterator before = *this;
        ++*this;
        return before;
    }
    friend bool operator==(const iterator& a, const iterator& b) { return a.equals(b); }
    friend bool operator==(const iterator& it, std::default_sentinel_t) noexcept {
        return !it.piece_;
    }

  private:
    bool equals(const iterator& other) const {
        if (piece_.has_value() != other.piece_.has_value()) {
            return false;
        }
        // Past the end every iterator is equal; before it, the place after
        // the piece (and, for the last piece, where the piece starts) tells.
        if (!piece_) {
            return true;
        }
        if (!rest_.samePositionAs(other.rest_)) {
            return false;
        }
        return rest_.hasRemaining() || piece_->begin() == other.piece_->begin();
    }

    LazySplitSequence rest_;
    std::optional<View> piece_;
};

// split(separator, allowEmptySlices) of a collection. There is no default for
// allowEmptySlices: callers say which they mean.
template <class C>
requires SplittableCollection<std::remove_cvref_t<C>> LazySplitSequence<std::remove_cvref_t<C>>
split(C&& collection, typename SplitTraits<std::remove_cvref_t<C>>::Element separator,
      bool allowEmptySlices) {
    return {std::forward<C>(collection), std::move(separator), allowEmptySlices};
}

// Splits a collection that arrives in chunks. Each chunk is split with empty
// pieces allowed; a piece that runs to the end of its chunk is joined with the
// first piece of the following chunk(s), so the caller sees the pieces of the
// whole input. Copies share the chunk source; there is no end mark, so a
// request after the source has returned none calls the source again.
template <JoinableCollection C>
class PartialSourceLazySplitSequence : public std::ranges::view_base {
    using Traits = SplitTraits<C>;

  public:
    using Element = typename Traits::Element;
    using View = typename Traits::View;
    using Slice = typename Traits::Slice;
    using Source = std::function<std::optional<C>()>;
    using iterator = detail::PieceIterator<PartialSourceLazySplitSequence, Slice>;

    PartialSourceLazySplitSequence() = default;
    // Reads nothing yet.
    PartialSourceLazySplitSequence(Source source, Element separator)
        : source_(std::make_shared<Source>(std::move(source))), separator_(std::move(separator)) {
        detail::checkSeparator(Traits::isSeparator(separator_));
    }

    // The next piece, or none when the source has run dry. A piece inside one
    // chunk shares that chunk; a piece joined from several chunks is new.
    std::optional<Slice> next() {
        std::optional<Slice> single;
        std::optional<C> joined;
        const bool found = step([&](View part, const std::shared_ptr<const C>& storage) {
            if (joined) {
                Traits::append(*joined, part);
            } else if (single) {
                joined.emplace();
                Traits::append(*joined, single->view());
                Traits::append(*joined, part);
                single.reset();
            } else {
                single.emplace(storage, part);
            }
        });
        if (!found) {
            return std::nullopt;
        }
        if (joined) {
            return Slice(std::move(*joined));
        }
        return single;
    }

    // Puts the next piece into `piece`, reusing its capacity, and says whether
    // there was one; `piece` is left empty when there was not.
    bool nextInto(C& piece) {
        piece.clear();
        return step(
            [&](View part, const std::shared_ptr<const C>&) { Traits::append(piece, part); });
    }

    iterator begin() { return iterator(*this); }
    std::default_sentinel_t end() const noexcept { return {}; }

  private:
    // Finds the next piece and hands its parts, one per chunk it spans, to
    // `onPart` in order. Joining across chunks is a loop, not a recursion, so
    // a million chunks without a separator use no more stack than one.
    template <class OnPart>
    bool step(OnPart&& onPart) {
        bool found = false;
        for (;;) {
            if (auto part = chunk_.nextView()) {
                onPart(*part, chunk_.storage());
                found = true;
                if (chunk_.hasRemaining()) {
                    // A separator ended the piece inside this chunk.
                    return true;
                }
                // The piece ran to the end of its chunk and may go on in the
                // next one.
                continue;
            }
            // Let go of the finished chunk before reading the next, so that
            // at most one chunk is held (and its memory can be reused).
            chunk_ = LazySplitSequence<C>();
            std::optional<C> chunk = (*source_)();
            if (!chunk) {
                return found;
            }
            chunk_ = LazySplitSequence<C>(std::move(*chunk), separator_, true);
        }
    }

    std::shared_ptr<Source> source_;
    // The splitter of the chunk being read. Before the first chunk and after
    // the source has run dry it is an empty, finished one.
    LazySplitSequence<C> chunk_;
    Element separator_{};
};

// Splits a whole text at every "\n" character and drops empty pieces.
std::vector<std::string> splitLines(std::string_view text);

}  // namespace shell
