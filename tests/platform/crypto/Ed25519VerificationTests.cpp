#include "platform/crypto/Ed25519Verification.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>

#include "tests/platform/crypto/Hex.h"
#include "tests/platform/crypto/OpenSslSigner.h"

namespace {

using crypto_test::fromHex;
using platform::Ed25519Verification;
using Bytes = std::vector<std::byte>;

using crypto_test::OpenSslSigner;
using crypto_test::Signed;

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

Bytes randomBytes(std::size_t size, std::mt19937& random) {
    Bytes bytes(size);
    for (auto& b : bytes) {
        b = static_cast<std::byte>(random());
    }
    return bytes;
}

TEST(Ed25519Verification, AcceptsPublishedSignatures) {
    const std::vector<Signed> vectors = {
        {fromHex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a"),
         {},
         fromHex(
             "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc6"
             "1e39701cf9b46bd25bf5f0595bbe24655141438e7a100b")},
        {fromHex("3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c"), fromHex("72"),
         fromHex(
             "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e45"
             "8f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00")},
        {fromHex("fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025"),
         fromHex("af82"),
         fromHex(
             "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae"
             "67f760984dc6594a7c15e9716ed28dc027beceea1ec40a")},
    };
    for (const auto& v : vectors) {
        EXPECT_TRUE(verify(v, 1)) << v.message.size();
    }
}

TEST(Ed25519Verification, AcceptsOpenSslSignaturesWhateverThePieces) {
    std::mt19937 random(8032);
    const OpenSslSigner signer;
    struct Case {
        std::size_t size;
        std::size_t piece;
    };
    const std::vector<Case> cases = {
        {1, 1}, {63, 1}, {64, 7}, {65, 64}, {1000, 128}, {1000, 999}, {3 << 20, 65536},
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
        {"first byte of the file", [&](Signed& s) { flip(s.message, 0); }},
        {"middle byte of the file", [&](Signed& s) { flip(s.message, 2500); }},
        {"last byte of the file", [&](Signed& s) { flip(s.message, 4999); }},
        {"a byte more", [](Signed& s) { s.message.push_back(std::byte{0}); }},
        {"a byte less", [](Signed& s) { s.message.pop_back(); }},
        {"no bytes", [](Signed& s) { s.message.clear(); }},
        {"R altered", [&](Signed& s) { flip(s.signature, 3); }},
        {"S altered", [&](Signed& s) { flip(s.signature, 40); }},
        {"S plus the group order",
         [](Signed& s) { s.signature = withNonCanonicalScalar(s.signature); }},
        {"S all ones",
         [](Signed& s) { std::fill_n(s.signature.begin() + 32, 32, std::byte{0xFF}); }},
        {"signature all zeros", [](Signed& s) { std::ranges::fill(s.signature, std::byte{0}); }},
        {"R the neutral element",
         [](Signed& s) {
             std::fill_n(s.signature.begin(), 32, std::byte{0});
             s.signature[0] = std::byte{1};
         }},
        {"key altered", [&](Signed& s) { flip(s.publicKey, 7); }},
        {"another key", [&](Signed& s) { s.publicKey = other.publicKey(); }},
        {"key the neutral element",
         [](Signed& s) {
             std::ranges::fill(s.publicKey, std::byte{0});
             s.publicKey[0] = std::byte{1};
         }},
        {"key not a canonical encoding",
         [](Signed& s) {
             std::ranges::fill(s.publicKey, std::byte{0xFF});
             s.publicKey[31] = std::byte{0x7F};
         }},
    };
    for (const auto& c : cases) {
        Signed altered = original;
        c.alter(altered);
        EXPECT_FALSE(verify(altered)) << c.what;
    }
}

TEST(Ed25519Verification, TellsUsableKeys) {
    const OpenSslSigner signer;
    struct Case {
        const char* what;
        Bytes key;
        bool usable;
    };
    const std::vector<Case> cases = {
        {"made by OpenSSL", signer.publicKey(), true},
        {"published", fromHex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a"),
         true},
        {"all zeros (small order)", Bytes(32), false},
        {"the neutral element",
         fromHex("0100000000000000000000000000000000000000000000000000000000000000"), false},
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
