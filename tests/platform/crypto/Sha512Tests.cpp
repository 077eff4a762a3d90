#include "platform/crypto/Sha512.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/platform/crypto/Hex.h"

namespace {

using crypto_test::bytesOf;
using crypto_test::fromHex;

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
        {std::string(1'000'000, 'a'),
         "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973eb"
         "de0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b"},
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
