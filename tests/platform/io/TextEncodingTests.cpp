#include <string>

#include <gtest/gtest.h>

#include "platform/system/TextEncoding.h"
#include "tests/platform/io/Support.h"

using platform::TextEncoding;

namespace {

std::optional<std::string> decodeUTF8(std::string_view raw) {
    return TextEncoding::utf8().decode(iotest::bytes(raw));
}

TEST(TextEncoding, UTF8AcceptsExactlyTheWellFormedSequences) {
    struct Case {
        const char* name;
        std::string bytes;
        bool valid;
    };
    const Case cases[] = {
        {"empty", "", true},
        {"ascii", "plain text\n", true},
        {"two bytes", "\xC3\xA9", true},
        {"three bytes", "\xE2\x82\xAC", true},
        {"four bytes", "\xF0\x9F\x98\x80", true},
        {"largest code point", "\xF4\x8F\xBF\xBF", true},
        {"nul byte", std::string("a\0b", 3), true},
        {"bare continuation", "\x80", false},
        {"overlong slash", "\xC0\xAF", false},
        {"overlong three bytes", "\xE0\x80\xAF", false},
        {"overlong four bytes", "\xF0\x80\x80\xAF", false},
        {"surrogate", "\xED\xA0\x80", false},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", false},
        {"lead F5", "\xF5\x80\x80\x80", false},
        {"truncated at end", "abc\xE2\x82", false},
        {"missing continuation", "\xE2\x28\xA1", false},
        {"latin-1 byte", "caf\xE9", false},
    };
    for (const auto& c : cases) {
        const auto decoded = decodeUTF8(c.bytes);
        EXPECT_EQ(decoded.has_value(), c.valid) << c.name;
        if (c.valid && decoded) {
            EXPECT_EQ(*decoded, c.bytes) << c.name;
        }
        EXPECT_EQ(TextEncoding::utf8().encode(c.bytes).has_value(), c.valid) << c.name;
    }
}

TEST(TextEncoding, UTF8FindsABadByteAnywhereInALongText) {
    // The ASCII fast path takes 16 bytes at a time; put the bad byte at every
    // offset around such blocks, and a good multi-byte character too.
    const std::string ascii(120, 'a');
    for (std::size_t at = 0; at < 80; ++at) {
        std::string bad = ascii;
        bad[at] = '\xFF';
        EXPECT_FALSE(decodeUTF8(bad)) << at;
        std::string good = ascii;
        good.replace(at, 2, "\xC3\xA9");
        EXPECT_TRUE(decodeUTF8(good)) << at;
    }
}

TEST(TextEncoding, OtherEncodingsConvertBothWaysAndNeverLoseACharacter) {
    const auto latin1 = TextEncoding::isoLatin1();
    EXPECT_EQ(latin1.decode(iotest::bytes("caf\xE9")), "caf\xC3\xA9");
    EXPECT_EQ(iotest::text(*latin1.encode("caf\xC3\xA9")), "caf\xE9");
    // The euro sign has no place in Latin-1.
    EXPECT_FALSE(latin1.encode("5 \xE2\x82\xAC"));

    const auto utf16 = TextEncoding::utf16LittleEndian();
    const auto encoded = utf16.encode("h\xE2\x82\xAC");
    ASSERT_TRUE(encoded);
    EXPECT_EQ(iotest::text(*encoded), std::string("h\0\xAC\x20", 4));
    EXPECT_EQ(utf16.decode(*encoded), "h\xE2\x82\xAC");
    // An odd number of bytes cannot be UTF-16.
    EXPECT_FALSE(utf16.decode(iotest::bytes("abc")));

    // Any other encoding by the name iconv knows it by.
    EXPECT_EQ(TextEncoding::named("utf8"), TextEncoding::utf8());
    EXPECT_FALSE(TextEncoding::named("no-such-encoding"));
    const auto ascii = TextEncoding::named("ASCII");
    ASSERT_TRUE(ascii);
    EXPECT_FALSE(ascii->decode(iotest::bytes("\xC3\xA9")));
}

}  // namespace
