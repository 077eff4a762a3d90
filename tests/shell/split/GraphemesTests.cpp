#include "shell/Graphemes.h"

#include <gtest/gtest.h>
#include <utf8proc.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> characters(std::string_view text) {
    std::vector<std::string> out;
    for (std::string_view c : shell::Graphemes(text)) {
        out.emplace_back(c);
    }
    return out;
}

std::string utf8(utf8proc_int32_t codePoint) {
    utf8proc_uint8_t bytes[4];
    const auto length = utf8proc_encode_char(codePoint, bytes);
    return std::string(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(length));
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
                const std::string c =
                    utf8(static_cast<utf8proc_int32_t>(std::stoul(token, nullptr, 16)));
                current += c;
                text += c;
            }
        }
        EXPECT_EQ(characters(text), expected) << line;
        ++cases;
    }
    EXPECT_GT(cases, 500);
}

TEST(Graphemes, ClustersThatMatterForSplitting) {
    // Indic conjuncts are one character from Unicode 15.1 on; before, the
    // virama ends the character.
    int major = 0;
    int minor = 0;
    std::sscanf(utf8proc_unicode_version(), "%d.%d", &major, &minor);
    const bool conjuncts = major * 100 + minor >= 1501;
    const auto conjunct = [&](std::string first, std::string second) {
        return conjuncts ? std::vector{first + second} : std::vector{first, second};
    };
    struct Case {
        std::string text;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"", {}},
        {"ab", {"a", "b"}},
        {"a\r\nb", {"a", "\r\n", "b"}},
        {"\n\r", {"\n", "\r"}},
        {"\r\r\n", {"\r", "\r\n"}},
        {"\n\xCC\x81", {"\n", "\xCC\x81"}},  // LF never takes a combining mark
        {"e\xCC\x81x", {"e\xCC\x81", "x"}},  // e + COMBINING ACUTE
        {",\xCC\x81", {",\xCC\x81"}},        // separator-like ASCII plus a mark
        {"\xD8\x80"
         "a",
         {"\xD8\x80"
          "a"}},                             // Prepend joins what follows
        {"\xD8\x80\n", {"\xD8\x80", "\n"}},  // ...but never a line feed
        {"\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7",  // two flags
         {"\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA", "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7"}},
        {"\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7",
         {"\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7"}},
        {"a\xE2\x80\x8D\xF0\x9F\x91\xA7",
         {"a\xE2\x80\x8D", "\xF0\x9F\x91\xA7"}},  // ZWJ after a letter
        {"\xE0\xA4\x95\xE0\xA5\x8D\xE0\xA4\xB7",
         conjunct("\xE0\xA4\x95\xE0\xA5\x8D", "\xE0\xA4\xB7")},  // KA VIRAMA SSA
        {"\xE0\xA4\x95\xE0\xA5\x8D\xE2\x80\x8D\xE0\xA4\xB7",
         conjunct("\xE0\xA4\x95\xE0\xA5\x8D\xE2\x80\x8D", "\xE0\xA4\xB7")},  // ... with a ZWJ
        {"\xE0\xA4\x95\xE0\xA4\xB7", {"\xE0\xA4\x95", "\xE0\xA4\xB7"}},  // no linker, no conjunct
        {"\xE1\x84\x92\xE1\x85\xA1\xE1\x86\xAB",
         {"\xE1\x84\x92\xE1\x85\xA1\xE1\x86\xAB"}},  // Hangul L V T
        {"\xC3\x28", {"\xC3", "("}},                 // invalid bytes stand alone
        {"\xE0\x80\x80", {"\xE0", "\x80", "\x80"}},  // overlong form
        {"\xED\xA0\x80", {"\xED", "\xA0", "\x80"}},  // surrogate
    };
    for (const auto& c : cases) {
        EXPECT_EQ(characters(c.text), c.expected) << testing::PrintToString(c.text);
    }
}

TEST(Graphemes, SingleCharacter) {
    EXPECT_TRUE(shell::isSingleGrapheme("\n"));
    EXPECT_TRUE(shell::isSingleGrapheme("\r\n"));
    EXPECT_TRUE(shell::isSingleGrapheme("e\xCC\x81"));
    EXPECT_FALSE(shell::isSingleGrapheme(""));
    EXPECT_FALSE(shell::isSingleGrapheme("\n\n"));
    EXPECT_FALSE(shell::isSingleGrapheme("ab"));
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
