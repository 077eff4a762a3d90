#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "shell/LazySplit.h"
#include "shell/LineFeeds.h"
#include "tests/shell/ShellTestSupport.h"

namespace {

// A fixed pseudo-random sequence, so that a failure can be repeated.
class Random {
  public:
    explicit Random(std::uint32_t seed) : state_(seed) {}
    std::uint32_t below(std::uint32_t bound) {
        state_ = state_ * 1664525u + 1013904223u;
        return (state_ >> 8) % bound;
    }

  private:
    std::uint32_t state_;
};

// Text of letters, line feeds and carriage returns, the last two common
// enough that every block holds several, and runs of them occur.
std::string sampleText(Random& random, std::size_t size) {
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint32_t pick = random.below(8);
        text += pick == 0 ? '\n' : pick == 1 ? '\r' : static_cast<char>('a' + pick);
    }
    return text;
}

// What one scanner finds asked in order (by find and by next), then asked from random offsets
// back and forth, across windows and past the end.
void expectScannerFindsTheReference(const std::string& text, Random& random) {
    constexpr auto npos = shell::LineFeedScanner::npos;
    // The line feeds that end lines, one byte at a time.
    std::vector<std::size_t> expected;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) {
            expected.push_back(i);
        }
    }
    std::vector<std::size_t> found;
    shell::LineFeedScanner scanner(text);
    for (std::size_t at = scanner.find(0); at != npos; at = scanner.find(at + 1)) {
        found.push_back(at);
    }
    ASSERT_EQ(found, expected);
    found.clear();
    shell::LineFeedScanner walker(text);
    for (std::size_t at = walker.next(); at != npos; at = walker.next()) {
        found.push_back(at);
    }
    EXPECT_EQ(walker.next(), npos);  // it stays at the end
    ASSERT_EQ(found, expected);
    for (int i = 0; i < 50; ++i) {
        const std::size_t from = random.below(static_cast<std::uint32_t>(text.size() + 100));
        const auto next = std::lower_bound(expected.begin(), expected.end(), from);
        ASSERT_EQ(scanner.find(from), next == expected.end() ? npos : *next) << "from " << from;
    }
}

// A text of `size` letters with the given bytes put at the given offsets.
std::string textWith(std::size_t size, const std::vector<std::pair<std::size_t, char>>& bytes) {
    std::string text(size, 'x');
    for (const auto& [at, byte] : bytes) {
        text[at] = byte;
    }
    return text;
}

// A source that hands out the chunks, then none.
auto handingOut(const std::vector<std::string>& chunks) {
    return [&chunks, next = std::size_t{0}]() mutable -> std::optional<std::string> {
        return next == chunks.size() ? std::nullopt : std::optional(chunks[next++]);
    };
}

// The pieces the general splitter makes of the chunks, line feed by line feed.
std::vector<std::string> generalSplit(const std::vector<std::string>& chunks) {
    std::vector<std::string> pieces;
    shell::PartialSourceLazySplitSequence<std::string> sequence(handingOut(chunks), "\n");
    while (auto piece = sequence.next()) {
        pieces.push_back(piece->str());
    }
    return pieces;
}

}  // namespace

TEST(LineFeedScanner, FindsWhatAByteByByteSearchFinds) {
    // Blocks are 64 bytes and are scanned 1 KiB at a time: line feeds and
    // carriage returns on both sides of those edges, and texts that end there.
    struct Case {
        const char* name;
        std::string text;
    };
    const Case cases[] = {
        {"empty", ""},
        {"only a line feed", "\n"},
        {"CR LF alone", "\r\n"},
        {"LF at the last byte of a block", textWith(64, {{63, '\n'}})},
        {"LF at the first byte of the second block", textWith(65, {{64, '\n'}})},
        {"CR ends a block, LF starts the next", textWith(100, {{63, '\r'}, {64, '\n'}})},
        {"CR ends a window, LF starts the next", textWith(1100, {{1023, '\r'}, {1024, '\n'}})},
        {"LF ends a window", textWith(1024, {{1023, '\n'}})},
        {"LF in a short last block", textWith(1030, {{1029, '\n'}})},
        {"CR CR LF", textWith(200, {{70, '\r'}, {71, '\r'}, {72, '\n'}})},
        {"LF LF across a block edge", textWith(130, {{63, '\n'}, {64, '\n'}})},
        {"every byte a line feed", std::string(3000, '\n')},
        {"alternating CR LF",
         [] {
             std::string text;
             for (int i = 0; i < 1500; ++i) {
                 text += "\r\n";
             }
             return text;
         }()},
    };
    Random random(7);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        expectScannerFindsTheReference(c.text, random);
    }
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(round);
        expectScannerFindsTheReference(sampleText(random, random.below(3000)), random);
    }
}

TEST(LineFeedScanner, EveryBlockScannerMarksTheSameBytes) {
    Random random(3);
    constexpr std::size_t blocks = 20;
    // The byte before the first block counts too; here it is a carriage
    // return, and the first block starts with a line feed.
    const std::string bytes = "\r\n" + sampleText(random, blocks * 64);
    const char* const first = bytes.data() + 1;
    std::vector<std::uint64_t> masks(blocks);
    for (const auto scan : shell::detail::blockScanners()) {
        scan(first, blocks, masks.data());
        for (std::size_t i = 0; i < blocks * 64; ++i) {
            const bool marked = (masks[i / 64] >> (i % 64)) & 1;
            ASSERT_EQ(marked, first[i] == '\n' && first[i - 1] != '\r') << "byte " << i;
        }
    }
}

TEST(LazyLines, SameLinesAsTheGeneralSplitterForAnyChunking) {
    // Chunks cut anywhere, CR and LF on either side of a cut, chunks longer
    // than a scan window and empty chunks.
    Random random(5);
    for (int round = 0; round < 300; ++round) {
        std::vector<std::string> chunks;
        const int count = static_cast<int>(random.below(6));
        for (int i = 0; i < count; ++i) {
            const std::uint32_t size = random.below(4) == 0 ? random.below(3000) : random.below(12);
            chunks.push_back(sampleText(random, size));
        }
        ASSERT_EQ(shell_test::textsOf(shell::lazyLines(handingOut(chunks))), generalSplit(chunks))
            << testing::PrintToString(chunks);
    }
}

TEST(LazyLines, ACopyGoesOnFromTheSamePlaceWhateverTheOriginalDoes) {
    // Chunks longer than a scan window, refilled into the same memory: the
    // original moves on into the second chunk while the copy, taken inside
    // the first, and a copy of that copy moved elsewhere, still split the
    // first.
    auto numbered = [](const std::string& tag) {
        std::string text;
        for (int i = 0; text.size() < 3000; ++i) {
            text += tag + std::to_string(i) + '\n';
        }
        text.resize(3000);
        return text;
    };
    // Of one size, so the second lands in the memory of the first, and with
    // their line feeds in other places.
    const std::vector<std::string> chunks = {numbered("a"), numbered("bbb")};
    auto lines =
        shell::LazyLines::refilling([&chunks, next = std::size_t{0}](std::string& chunk) mutable {
            if (next == chunks.size()) {
                return false;
            }
            chunk.assign(chunks[next++]);
            return true;
        });
    const auto expected = generalSplit(chunks);

    ASSERT_EQ(lines.next(), "a0");
    shell::LazyLines copy = lines;
    std::vector<std::string> fromOriginal = {"a0"};
    while (fromOriginal.size() < expected.size() - 3) {
        fromOriginal.push_back(*lines.next());
    }
    shell::LazyLines moved = std::move(copy);
    shell::LazyLines& same = moved;
    moved = std::move(same);  // changes nothing
    // The copy shares the source, which the original has emptied: it ends
    // with the rest of the first chunk, joined with nothing.
    std::vector<std::string> fromCopy = {"a0"};
    while (auto line = moved.next()) {
        fromCopy.push_back(*line);
    }
    const std::string lastOfFirst = fromCopy.back();
    fromCopy.pop_back();
    EXPECT_EQ(fromCopy, std::vector<std::string>(
                            expected.begin(),
                            expected.begin() + static_cast<std::ptrdiff_t>(fromCopy.size())));
    EXPECT_TRUE(chunks[0].ends_with(lastOfFirst));
    EXPECT_TRUE(std::equal(fromOriginal.begin(), fromOriginal.end(), expected.begin()));
}
