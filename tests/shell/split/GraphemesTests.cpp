#include "shell/Graphemes.h"

#include <gtest/gtest.h>
#include <utf8proc.h>

#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/shell/ShellTestSupport.h"

namespace {

std::vector<std::string> characters(std::string_view text) {
    return shell_test::textsOf(shell::Graphemes(text));
}

// Every line of the Unicode conformance file: "÷ 0020 × 0308 ÷ ..." where ÷
// marks a boundary and × none. The file must be of the Unicode version the
// library implements: the rules change between versions.
TEST(Graphemes, MatchesTheUnicodeConformanceTests) {
    std::ifstream file(GRAPHEME_BREAK_TEST_FILE);
    if (!file) {
        GTEST_SKIP() << "no " << GRAPHEME_BREAK_TEST_FILE << " (package unicode-data)";
    }
    std::string line;
    std::getline(file, line);
    ASSERT_EQ(line, "# GraphemeBreakTest-" + std::string(utf8proc_unicode_version()) + ".txt")
        << "the test data and the Unicode library are of different Unicode versions";
    int cases = 0;
    while (std::getline(file, line)) {
        line = line.substr(0, line.find('#'));
        if (line.empty()) {
            continue;
        }
        std::istringstream in(line);
        std::string token;
        std::vector<std::string> expected;
        std::string text;
        std::string current;
        while (in >> token) {
            if (token == "\xC3\xB7") {  // ÷
                if (!current.empty()) {
                    expected.push_back(current);
                    current.clear();
                }
            } else if (token != "\xC3\x97") {  // ×
                utf8proc_uint8_t bytes[4];
                const auto length = utf8proc_encode_char(
                    static_cast<utf8proc_int32_t>(std::stoul(token, nullptr, 16)), bytes);
                const std::string c(reinterpret_cast<const char*>(bytes),
                                    static_cast<std::size_t>(length));
                current += c;
                text += c;
            }
        }
        EXPECT_EQ(characters(text), expected) << line;
        ++cases;
    }
    EXPECT_GT(cases, 500);
}

// What the conformance data leaves out: bytes that are not UTF-8; and
// clusters the line splitting leans on that the splitter's own tests do not
// show, so they are checked even where the data file is missing.
TEST(Graphemes, ClustersThatMatterForSplitting) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"", {}},
        {"\r\r\n", {"\r", "\r\n"}},
        {"\xD8\x80\n", {"\xD8\x80", "\n"}},          // Prepend never joins a line feed
        {"\xC3\x28", {"\xC3", "("}},                 // invalid bytes stand alone
        {"\xE0\x80\x80", {"\xE0", "\x80", "\x80"}},  // overlong form
        {"\xED\xA0\x80", {"\xED", "\xA0", "\x80"}},  // surrogate
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(characters(text), expected) << testing::PrintToString(text);
    }
}

// The memchr search for control characters must find exactly what walking
// the characters finds.
TEST(Graphemes, ControlSearchAgreesWithCharacterWalk) {
    const std::vector<std::string> alphabet = {
        "a", "\n", "\r", "\t", "\xCC\x81", "\xE2\x80\x8D", "\xD8\x80", "\xC3", "\xF0\x9F\x91\xA9",
        ","};
    const std::vector<std::string> separators = {"\n", "\r", "\t", "\r\n", ",", "e\xCC\x81"};
    std::mt19937 random(20240601);
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        const int length = static_cast<int>(random() % 12);
        for (int i = 0; i < length; ++i) {
            text += alphabet[random() % alphabet.size()];
        }
        for (const auto& separator : separators) {
            std::size_t expected = std::string_view::npos;
            const shell::Graphemes walk(text);
            for (auto it = walk.begin(); it != walk.end(); ++it) {
                if (*it == separator) {
                    expected = it.offset();
                    break;
                }
            }
            ASSERT_EQ(shell::findGrapheme(text, separator), expected)
                << testing::PrintToString(text) << " " << testing::PrintToString(separator);
        }
    }
}

}  // namespace
