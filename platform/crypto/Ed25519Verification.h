#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "platform/crypto/Sha512.h"

namespace platform {

// Checks an Ed25519 signature over a message handed over in pieces, as it
// arrives. The signature hashes R || A || message (R the first half of the
// signature, A the public key), so with the key and the signature known
// first, one pass over the message and constant memory suffice.
class Ed25519Verification {
  public:
    static constexpr std::size_t publicKeySize = 32;
    static constexpr std::size_t signatureSize = 64;
    using PublicKey = std::span<const std::byte, publicKeySize>;
    using Signature = std::span<const std::byte, signatureSize>;

    // Whether the bytes encode a point a signature can be checked against: a
    // canonical encoding of a point of the prime-order group, other than
    // those of small order.
    static bool isUsablePublicKey(PublicKey publicKey);

    Ed25519Verification(PublicKey publicKey, Signature signature);
    void update(std::span<const std::byte> message);
    // Whether the signature is valid for the key and every byte given; once.
    bool finish();

  private:
    std::array<std::byte, publicKeySize> publicKey_;
    std::array<std::byte, signatureSize> signature_;
    Sha512 hash_;
};

}  // namespace platform
