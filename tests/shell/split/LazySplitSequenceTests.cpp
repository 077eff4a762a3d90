#include <gtest/gtest.h>

#include <functional>
#include <list>
#include <ranges>
#include <string>
#include <vector>

#include "shell/LazySplit.h"
#include "tests/shell/ShellTestSupport.h"

namespace {

using shell::LazySplitSequence;
using shell_test::textsOf;

using Pieces = std::vector<std::string>;

TEST(LazySplitSequence, EdgeCasesWithAndWithoutEmptyPieces) {
    struct Row {
        std::string input;
        Pieces allowed;
        Pieces skipped;
    };
    const std::vector<Row> rows = {
        {"", {""}, {}},
        {"a", {"a"}, {"a"}},
        {"a\nb", {"a", "b"}, {"a", "b"}},
        {"a\n", {"a", ""}, {"a"}},
        {"\na", {"", "a"}, {"a"}},
        {"a\n\nb", {"a", "", "b"}, {"a", "b"}},
        {"\n", {"", ""}, {}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(textsOf(shell::split(row.input, "\n", true)), row.allowed)
            << testing::PrintToString(row.input);
        EXPECT_EQ(textsOf(shell::split(row.input, "\n", false)), row.skipped)
            << testing::PrintToString(row.input);
    }
}

TEST(LazySplitSequence, FieldsShowThePosition) {
    auto sequence = shell::split(std::string("ab\ncd"), "\n", false);
    EXPECT_EQ(sequence.separator(), "\n");
    EXPECT_FALSE(sequence.allowEmptySlices());
    EXPECT_EQ(*sequence.next(), "ab");
    EXPECT_EQ(*sequence.remaining(), "cd");
    auto copy = sequence;  // a value: the copy goes on from the same place
    EXPECT_EQ(*sequence.next(), "cd");
    EXPECT_FALSE(sequence.remaining());
    EXPECT_FALSE(sequence.next());
    EXPECT_FALSE(sequence.next());  // finished stays finished
    EXPECT_EQ(*copy.next(), "cd");
}

TEST(LazySplitSequence, PiecesShareTheCollectionAndKeepItAlive) {
    shell::TextSlice first;
    shell::TextSlice second;
    {
        auto sequence = shell::split(std::string("first line\nsecond line"), "\n", true);
        first = *sequence.next();
        second = *sequence.next();
        EXPECT_EQ(first.storage(), second.storage());
        EXPECT_EQ(first.view().data(), first.storage()->data());
        EXPECT_EQ(second.view().data(), first.storage()->data() + 11);
    }
    EXPECT_EQ(first, "first line");
    EXPECT_EQ(second, "second line");
}

TEST(LazySplitSequence, SeparatorsAreCharacters) {
    struct Row {
        std::string input;
        std::string separator;
        Pieces pieces;
    };
    const std::vector<Row> rows = {
        {"a\r\nb\nc", "\n", {"a\r\nb", "c"}},  // CR LF is one character, not a line feed
        {"a\rb\n\r", "\n", {"a\rb", "\r"}},
        {"a\r\nb\nc", "\r\n", {"a", "b\nc"}},
        {"a\r\rb", "\r", {"a", "", "b"}},
        // A separator of two code points: e + COMBINING ACUTE ACCENT.
        {"xe\xCC\x81ye", "e\xCC\x81", {"x", "ye"}},
        {"xe\xCC\x81\xCC\x81y", "e\xCC\x81", {"xe\xCC\x81\xCC\x81y"}},
        // A combining mark after the separator makes another character...
        {"a,\xCC\x81z", ",", {"a,\xCC\x81z"}},
        {"a\n\xCC\x81z", "\n", {"a", "\xCC\x81z"}},  // ...but a line feed takes no mark
    };
    for (const auto& row : rows) {
        EXPECT_EQ(textsOf(shell::split(row.input, row.separator, true)), row.pieces)
            << testing::PrintToString(row.input) << " by " << testing::PrintToString(row.separator);
    }
}

TEST(LazySplitSequence, SeparatorMustBeOneCharacter) {
    EXPECT_THROW(shell::split(std::string("abc"), "ab", true), std::invalid_argument);
    EXPECT_THROW(shell::split(std::string("abc"), "", true), std::invalid_argument);
}

TEST(LazySplitSequence, SkipsAMillionEmptyPiecesWithoutRecursion) {
    auto sequence = shell::split(std::string(1'000'000, '\n') + "last", "\n", false);
    EXPECT_EQ(*sequence.next(), "last");
    EXPECT_FALSE(sequence.next());
}

TEST(LazySplitSequence, SplitsAnyCollectionOfComparableElements) {
    using Numbers = std::vector<int>;
    std::vector<Numbers> pieces;
    for (const auto& piece : shell::split(Numbers{1, 0, 0, 2, 3, 0}, 0, true)) {
        pieces.emplace_back(piece.begin(), piece.end());
    }
    EXPECT_EQ(pieces, (std::vector<Numbers>{{1}, {}, {2, 3}, {}}));
    // Not contiguous: a list.
    auto byDash = shell::split(std::list<std::string>{"x", "-", "y", "z"}, std::string("-"), false);
    EXPECT_EQ(std::ranges::distance(*byDash.next()), 1);
    EXPECT_EQ(std::ranges::distance(*byDash.next()), 2);
    EXPECT_FALSE(byDash.next());
}

TEST(LazySplitSequence, WalkingItLeavesItWhereItStood) {
    // Each way of walking the sequence, run twice: both walks see every piece
    // still to come, and the sequence's own position does not move.
    struct Row {
        const char* name;
        std::function<std::size_t(LazySplitSequence<std::string>&)> walk;
    };
    const std::vector<Row> rows = {
        {"range for", [](auto& s) { return textsOf(s).size(); }},
        {"copied iterator",
         [](auto& s) {
             auto first = s.begin();
             auto second = first;
             std::size_t count = 0;
             for (; first != s.end(); ++first) {
                 ++count;
             }
             return second == s.begin() ? count : 0;
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto sequence = shell::split(std::string("o\np\nq\nr"), "\n", true);
        sequence.next();
        EXPECT_EQ(row.walk(sequence), 3u);
        EXPECT_EQ(row.walk(sequence), 3u);
        ASSERT_TRUE(sequence.remaining());
        EXPECT_EQ(*sequence.remaining(), "p\nq\nr");
        EXPECT_EQ(*sequence.next(), "p");
    }
}

TEST(LazySplitSequence, WorksWithRangeAlgorithmsAndViews) {
    static_assert(std::ranges::view<LazySplitSequence<std::string>>);
    static_assert(std::ranges::forward_range<LazySplitSequence<std::vector<int>>>);
    static_assert(!std::ranges::forward_range<shell::PartialSourceLazySplitSequence<std::string>>);
    auto lengths = shell::split(std::string("a\nbb\n\nccc"), "\n", false) |
                   std::views::transform([](const shell::TextSlice& s) { return s.view().size(); });
    EXPECT_TRUE(std::ranges::equal(lengths, std::vector<std::size_t>{1, 2, 3}));
    // A slice's elements are characters.
    auto sequence = shell::split(std::string("e\xCC\x81\r\nx\nz"), "\n", true);
    EXPECT_EQ(std::ranges::distance(*sequence.next()), 3);
}

TEST(SplitLines, DropsEmptyLinesAndKeepsCarriageReturnLineFeedTogether) {
    EXPECT_EQ(shell::splitLines("a\n\nb\n"), (Pieces{"a", "b"}));
    EXPECT_EQ(shell::splitLines("a\r\nb\nc"), (Pieces{"a\r\nb", "c"}));
}

}  // namespace
