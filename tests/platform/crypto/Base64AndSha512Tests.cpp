#include "platform/crypto/Base64.h"
#include "platform/crypto/Sha512.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/platform/crypto/OpenSslSigner.h"

namespace {

using crypto_test::bytesOf;
using crypto_test::fromHex;
using platform::decodeBase64;
using platform::encodeBase64;
using namespace std::string_literals;

TEST(Base64, EncodesAndDecodesTheStandardForms) {
    struct Case {
        std::string bytes;
        std::string padded;
    };
    // Every remainder of three, and every character of the alphabet.
    const std::vector<Case> cases = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"\x00\x10\x83\x10\x51\x87\x20\x92\x8b\x30\xd3\x8f\x41\x14\x93\x51\x55\x97\x61\x96\x9b"
         "\x71\xd7\x9f\x82\x18\xa3\x92\x59\xa7\xa2\x9a\xab\xb2\xdb\xaf\xc3\x1c\xb3\xd3\x5d\xb7"
         "\xe3\x9e\xbb\xf3\xdf\xbf"s,
         "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(encodeBase64(bytesOf(c.bytes)), c.padded);
        EXPECT_EQ(decodeBase64(c.padded), bytesOf(c.bytes)) << c.padded;
        std::string unpadded = c.padded;
        while (!unpadded.empty() && unpadded.back() == '=') {
            unpadded.pop_back();
        }
        EXPECT_EQ(decodeBase64(unpadded), bytesOf(c.bytes)) << unpadded;
    }
}

TEST(Base64, AnythingElseIsNotBase64) {
    const std::vector<std::string> texts = {
        "Zm9v YmFy",        // white space
        "Zm9vYmFy\n",       // a line end
        "Zm9v-_Fy",         // the URL alphabet
        "Zg=",              // padding that does not complete the group
        "Zg===",            // too much padding
        "Z===",             // padding after one character
        "Z",                // one character left over
        "Zm9vY",            // five characters
        "=Zm9",             // padding first
        "Zg==Zg==",         // padding inside
        "====",             // padding alone
        "Zh==",             // stray bits under the last whole byte
        "Zm9=",             // likewise with one padding character
        "Zm9vYmF\xC3\xA9",  // a non-ASCII character
        std::string("Zm9v\0Fy", 8),
    };
    for (const auto& text : texts) {
        EXPECT_EQ(decodeBase64(text), std::nullopt) << testing::PrintToString(text);
    }
}

platform::Sha512::Digest digestOf(std::string_view hex) {
    platform::Sha512::Digest digest;
    const auto bytes = fromHex(hex);
    std::copy(bytes.begin(), bytes.end(), digest.begin());
    return digest;
}

// Published answers, with the message handed over in pieces of every size
// that straddles the 128-byte blocks differently.
TEST(Sha512, KnownAnswersWhateverThePieces) {
    struct Case {
        std::string message;
        const char* digest;
    };
    const std::vector<Case> cases = {
        {"",
         "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
         "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
        {"abc",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
         "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
         "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
         "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
         "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"},
    };
    for (const auto& c : cases) {
        const auto message = bytesOf(c.message);
        for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{128},
                                        std::size_t{129}, std::size_t{65536}}) {
            platform::Sha512 hash;
            for (std::size_t at = 0; at < message.size(); at += piece) {
                hash.update(std::span(message).subspan(at, std::min(piece, message.size() - at)));
            }
            EXPECT_EQ(hash.finish(), digestOf(c.digest)) << c.message.size() << " in " << piece;
        }
    }
}

}  // namespace
