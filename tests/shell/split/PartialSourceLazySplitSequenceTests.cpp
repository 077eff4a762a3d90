#include <gtest/gtest.h>

#include <memory>
#include <ranges>
#include <string>
#include <vector>

#include "shell/LazySplit.h"
#include "tests/shell/ShellTestSupport.h"

namespace {

using Chunks = std::vector<std::string>;
using Pieces = std::vector<std::string>;

// Hands out the given chunks, then none; counts its calls.
struct ChunkSource {
    explicit ChunkSource(Chunks chunks)
        : state(std::make_shared<State>(State{std::move(chunks)})) {}
    struct State {
        Chunks chunks;
        std::size_t next = 0;
        int calls = 0;
    };
    std::shared_ptr<State> state;

    std::optional<std::string> operator()() const {
        ++state->calls;
        if (state->next == state->chunks.size()) {
            return std::nullopt;
        }
        return state->chunks[state->next++];
    }
};

Pieces drain(shell::PartialSourceLazySplitSequence<std::string>& sequence) {
    Pieces out;
    while (auto piece = sequence.next()) {
        out.push_back(piece->str());
    }
    return out;
}

// The splitter and the line reader built for text, which takes another road
// to the same pieces.
TEST(PartialSourceLazySplitSequence, EdgeCasesAlsoForLazyLines) {
    const std::pair<Chunks, Pieces> rows[] = {
        {{}, {}},
        {{"a\nb"}, {"a", "b"}},
        {{"a\nb\n"}, {"a", "b", ""}},
        {{"ab", "c\nd"}, {"abc", "d"}},
        {{"a\nb", "\nc"}, {"a", "b", "c"}},
        {{"a\n", "", "b"}, {"a", "b"}},
        {{"\n", "\n"}, {"", "", ""}},
        // CR LF is one character only inside one chunk.
        {{"a\r\nb"}, {"a\r\nb"}},
        {{"a\r", "\nb"}, {"a\r", "b"}},
        {{"a\r", "\r\nb\n"}, {"a\r\r\nb", ""}},
    };
    for (const auto& [chunks, pieces] : rows) {
        SCOPED_TRACE(testing::PrintToString(chunks));
        shell::PartialSourceLazySplitSequence<std::string> sequence(ChunkSource(chunks), "\n");
        EXPECT_EQ(drain(sequence), pieces);
        EXPECT_EQ(shell_test::textsOf(shell::lazyLines(ChunkSource(chunks))), pieces);
    }
}

TEST(PartialSourceLazySplitSequence, ReadsOnlyWhatTheNextPieceNeeds) {
    ChunkSource source({"a\nb\n", "c", "d\n"});
    shell::PartialSourceLazySplitSequence<std::string> sequence(source, "\n");
    EXPECT_EQ(source.state->calls, 0);
    EXPECT_EQ(*sequence.next(), "a");
    EXPECT_EQ(*sequence.next(), "b");
    EXPECT_EQ(source.state->calls, 1);
    EXPECT_EQ(*sequence.next(), "cd");  // the empty tail of the first chunk joined on
    EXPECT_EQ(source.state->calls, 3);

    ChunkSource forLines({"one\ntwo", "\nthree", "\n"});
    auto lines = shell::lazyLines(forLines);
    EXPECT_EQ(forLines.state->calls, 0);
    EXPECT_EQ(lines.next(), "one");
    EXPECT_EQ(forLines.state->calls, 1);
    EXPECT_EQ(lines.next(), "two");
    EXPECT_EQ(forLines.state->calls, 2);
}

TEST(PartialSourceLazySplitSequence, PiecesInOneChunkShareItJoinedPiecesAreNew) {
    shell::PartialSourceLazySplitSequence<std::string> sequence(
        ChunkSource({"one\ntwo\nthr", "ee\n"}), "\n");
    const auto one = *sequence.next();
    const auto two = *sequence.next();
    const auto three = *sequence.next();
    EXPECT_EQ(one.storage(), two.storage());
    EXPECT_EQ(*three.storage(), "three");
}

TEST(PartialSourceLazySplitSequence, AsksTheSourceAgainAfterItRanDry) {
    const std::vector<std::optional<std::string>> answers = {"a\nb", std::nullopt, std::nullopt,
                                                             "c\n",  "d",          std::nullopt};
    std::size_t calls = 0;
    shell::PartialSourceLazySplitSequence<std::string> sequence(
        [&]() {
            ++calls;
            return calls <= answers.size() ? answers[calls - 1] : std::nullopt;
        },
        "\n");
    EXPECT_EQ(*sequence.next(), "a");
    EXPECT_EQ(*sequence.next(), "b");  // the first none ends the last piece
    EXPECT_EQ(calls, 2u);
    EXPECT_FALSE(sequence.next());  // no end mark: the source is asked again
    EXPECT_EQ(calls, 3u);
    EXPECT_EQ(drain(sequence), (Pieces{"c", "d"}));
    EXPECT_EQ(calls, 7u);
}

TEST(PartialSourceLazySplitSequence, CopiesShareTheSource) {
    ChunkSource source({"a\n", "b\n", "c\n"});
    shell::PartialSourceLazySplitSequence<std::string> original(source, "\n");
    EXPECT_EQ(*original.next(), "a");
    auto copy = original;
    EXPECT_EQ(*copy.next(), "b");      // the copy reads the second chunk
    EXPECT_EQ(*original.next(), "c");  // so the original goes on with the third
    EXPECT_EQ(source.state->calls, 3);
}

TEST(PartialSourceLazySplitSequence, JoinsAMillionChunksWithoutRecursion) {
    int left = 1'000'000;
    shell::PartialSourceLazySplitSequence<std::string> sequence(
        [&left]() -> std::optional<std::string> {
            return left-- > 0 ? std::optional<std::string>("x") : std::nullopt;
        },
        "\n");
    const auto piece = sequence.next();
    ASSERT_TRUE(piece);
    EXPECT_EQ(piece->view(), std::string(1'000'000, 'x'));
    EXPECT_FALSE(sequence.next());
}

TEST(PartialSourceLazySplitSequence, SplitsChunksOfAnyCollection) {
    using Numbers = std::vector<int>;
    std::vector<Numbers> chunks = {{1, 0, 2}, {3}, {0}};
    shell::PartialSourceLazySplitSequence<Numbers> sequence(
        [&chunks, next = std::size_t{0}]() mutable {
            return next < chunks.size() ? std::optional(chunks[next++]) : std::nullopt;
        },
        0);
    std::vector<Numbers> pieces;
    for (const auto& piece : sequence | std::views::take(5)) {
        pieces.emplace_back(piece.begin(), piece.end());
    }
    EXPECT_EQ(pieces, (std::vector<Numbers>{{1}, {2, 3}, {}}));
}

}  // namespace
