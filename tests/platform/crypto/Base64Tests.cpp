#include "platform/crypto/Base64.h"

#include <gtest/gtest.h>

#include "tests/platform/io/Support.h"

namespace {

using iotest::bytes;
using platform::decodeBase64;
using platform::encodeBase64;
using namespace std::string_literals;

TEST(Base64, EncodesAndDecodesTheStandardForms) {
    struct Case {
        std::string data;
        std::string padded;
    };
    // Every remainder of three, and every character of the alphabet.
    const std::vector<Case> cases = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"\x00\x10\x83\x10\x51\x87\x20\x92\x8b\x30\xd3\x8f\x41\x14\x93\x51\x55\x97\x61\x96\x9b"
         "\x71\xd7\x9f\x82\x18\xa3\x92\x59\xa7\xa2\x9a\xab\xb2\xdb\xaf\xc3\x1c\xb3\xd3\x5d\xb7"
         "\xe3\x9e\xbb\xf3\xdf\xbf"s,
         "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(encodeBase64(bytes(c.data)), c.padded);
        EXPECT_EQ(decodeBase64(c.padded), bytes(c.data)) << c.padded;
        std::string unpadded = c.padded;
        while (!unpadded.empty() && unpadded.back() == '=') {
            unpadded.pop_back();
        }
        EXPECT_EQ(decodeBase64(unpadded), bytes(c.data)) << unpadded;
    }
}

TEST(Base64, AnythingElseIsNotBase64) {
    const std::vector<std::string> texts = {
        "Zm9vYmFy\n",      // a line end
        "Zm9v-_Fy",        // the URL alphabet
        "Zg=",             // padding that does not complete the group
        "Zg===",           // too much padding
        "A",               // one character left over, with no stray bits
        "Zg==Zg==",        // padding inside
        "====",            // padding alone
        "Zh==",            // stray bits under the last whole byte
        "Zm9=",            // likewise with one padding character
        "Zm9vYm\xC3\xA9",  // a non-ASCII character, in a whole group
        std::string("Zm9v\0Fy", 8),
    };
    for (const auto& text : texts) {
        EXPECT_EQ(decodeBase64(text), std::nullopt) << testing::PrintToString(text);
    }
}

}  // namespace
