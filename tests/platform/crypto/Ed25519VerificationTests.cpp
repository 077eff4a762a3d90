#include "platform/crypto/Ed25519Verification.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>

#include "tests/platform/crypto/OpenSslSigner.h"

namespace {

using crypto_test::Bytes;
using crypto_test::fromHex;
using crypto_test::OpenSslSigner;
using crypto_test::randomBytes;
using crypto_test::Signed;
using platform::Ed25519Verification;

// Fed in pieces of the given size, as a download hands them over.
bool verify(const Signed& s, std::size_t piece = 4096) {
    if (s.publicKey.size() != Ed25519Verification::publicKeySize ||
        s.signature.size() != Ed25519Verification::signatureSize) {
        ADD_FAILURE() << "malformed test case";
        return false;
    }
    Ed25519Verification verification(
        std::span(s.publicKey).first<Ed25519Verification::publicKeySize>(),
        std::span(s.signature).first<Ed25519Verification::signatureSize>());
    const std::span message(s.message);
    for (std::size_t at = 0; at < message.size(); at += piece) {
        verification.update(message.subspan(at, std::min(piece, message.size() - at)));
    }
    return verification.finish();
}

// The verifier hashes the message with its own SHA-512, so these also show
// that digest agrees with OpenSSL's for pieces straddling its 128-byte blocks.
TEST(Ed25519Verification, AcceptsOpenSslSignaturesWhateverThePieces) {
    std::mt19937 random(8032);
    const OpenSslSigner signer;
    struct Case {
        std::size_t size;
        std::size_t piece;
    };
    const std::vector<Case> cases = {
        {0, 1}, {1, 1}, {63, 1}, {64, 7}, {65, 64}, {1000, 128}, {1000, 999}, {3 << 20, 65536},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(verify(signer.sign(randomBytes(c.size, random)), c.piece))
            << c.size << " in " << c.piece;
    }
}

// S + L: the same scalar in another encoding, which a verifier that leaves out
// the S < L check accepts.
Bytes withNonCanonicalScalar(Bytes signature) {
    const Bytes order = fromHex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
    unsigned carry = 0;
    for (std::size_t i = 0; i < 32; ++i) {
        const unsigned sum = std::to_integer<unsigned>(signature[32 + i]) +
                             std::to_integer<unsigned>(order[i]) + carry;
        signature[32 + i] = static_cast<std::byte>(sum & 0xFF);
        carry = sum >> 8;
    }
    return signature;
}

TEST(Ed25519Verification, RefusesAnythingAltered) {
    std::mt19937 random(25519);
    const OpenSslSigner signer;
    const OpenSslSigner other;
    const Signed original = signer.sign(randomBytes(5000, random));
    ASSERT_TRUE(verify(original));
    const auto flip = [](Bytes& bytes, std::size_t at) { bytes[at] ^= std::byte{0x01}; };
    struct Case {
        const char* what;
        std::function<void(Signed&)> alter;
    };
    const std::vector<Case> cases = {
        {"last byte of the file", [&](Signed& s) { flip(s.message, 4999); }},
        {"a byte more", [](Signed& s) { s.message.push_back(std::byte{0}); }},
        {"no bytes", [](Signed& s) { s.message.clear(); }},
        {"R altered", [&](Signed& s) { flip(s.signature, 3); }},
        {"S altered", [&](Signed& s) { flip(s.signature, 40); }},
        {"S plus the group order",
         [](Signed& s) { s.signature = withNonCanonicalScalar(s.signature); }},
        {"another key", [&](Signed& s) { s.publicKey = other.publicKey(); }},
    };
    for (const auto& c : cases) {
        Signed altered = original;
        c.alter(altered);
        EXPECT_FALSE(verify(altered)) << c.what;
    }
}

TEST(Ed25519Verification, TellsUsableKeys) {
    struct Case {
        const char* what;
        Bytes key;
        bool usable;
    };
    const std::vector<Case> cases = {
        {"published", fromHex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a"),
         true},
        {"all zeros (small order)", Bytes(32), false},
        {"y not below the field prime",
         fromHex("edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"), false},
        {"no point with this y",
         fromHex("0200000000000000000000000000000000000000000000000000000000000000"), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Ed25519Verification::isUsablePublicKey(
                      std::span(c.key).first<Ed25519Verification::publicKeySize>()),
                  c.usable)
            << c.what;
    }
}

}  // namespace
