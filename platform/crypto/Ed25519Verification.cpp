#include "platform/crypto/Ed25519Verification.h"

#include <sodium.h>

#include <algorithm>
#include <system_error>

namespace platform {
namespace {

constexpr std::size_t pointSize = crypto_core_ed25519_BYTES;
constexpr std::size_t scalarSize = crypto_core_ed25519_SCALARBYTES;
static_assert(Ed25519Verification::publicKeySize == pointSize);
static_assert(Ed25519Verification::signatureSize == pointSize + scalarSize);

// L, the order of the prime-order group, little-endian.
constexpr std::array<unsigned char, scalarSize> groupOrder = {
    0xED, 0xD3, 0xF5, 0x5C, 0x1A, 0x63, 0x12, 0x58, 0xD6, 0x9C, 0xF7, 0xA2, 0xDE, 0xF9, 0xDE, 0x14,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};

// S < L: the only encoding of a scalar a signer makes, so a signature cannot
// be altered into another valid one by adding L to S.
bool isCanonicalScalar(const unsigned char* scalar) {
    for (std::size_t i = scalarSize; i-- > 0;) {
        if (scalar[i] != groupOrder[i]) {
            return scalar[i] < groupOrder[i];
        }
    }
    return false;
}

void startLibrary() {
    if (sodium_init() < 0) {
        throw std::system_error(std::make_error_code(std::errc::not_supported),
                                "the curve library cannot start");
    }
}

const unsigned char* bytesOf(std::span<const std::byte> bytes) {
    return reinterpret_cast<const unsigned char*>(bytes.data());
}

}  // namespace

bool Ed25519Verification::isUsablePublicKey(PublicKey publicKey) {
    startLibrary();
    return crypto_core_ed25519_is_valid_point(bytesOf(publicKey)) == 1;
}

Ed25519Verification::Ed25519Verification(PublicKey publicKey, Signature signature) {
    startLibrary();
    std::ranges::copy(publicKey, publicKey_.begin());
    std::ranges::copy(signature, signature_.begin());
    hash_.update(std::span(signature_).first<pointSize>());
    hash_.update(publicKey_);
}

void Ed25519Verification::update(std::span<const std::byte> message) {
    hash_.update(message);
}

bool Ed25519Verification::finish() {
    const Sha512::Digest digest = hash_.finish();
    const unsigned char* key = bytesOf(publicKey_);
    const unsigned char* r = bytesOf(signature_);
    const unsigned char* s = r + pointSize;
    if (!isCanonicalScalar(s) || crypto_core_ed25519_is_valid_point(key) != 1 ||
        crypto_core_ed25519_is_valid_point(r) != 1) {
        return false;
    }
    // h = SHA-512(R || A || M) mod L; the signature holds when
    // [S]B - [h]A encodes to exactly R, which also rules out any other
    // encoding of R.
    unsigned char h[scalarSize];
    crypto_core_ed25519_scalar_reduce(h, bytesOf(digest));
    unsigned char sB[pointSize];
    unsigned char hA[pointSize];
    unsigned char expectedR[pointSize];
    // Both products fail only when they are the neutral element: S = 0 or
    // h = 0, which no signer meets but with negligible chance.
    if (crypto_scalarmult_ed25519_base_noclamp(sB, s) != 0 ||
        crypto_scalarmult_ed25519_noclamp(hA, h, key) != 0 ||
        crypto_core_ed25519_sub(expectedR, sB, hA) != 0) {
        return false;
    }
    return crypto_verify_32(expectedR, r) == 0;
}

}  // namespace platform
