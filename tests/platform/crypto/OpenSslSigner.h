#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

// Bytes from hexadecimal or a seeded generator, and a key pair made by OpenSSL for this
// run that signs what the verifier then checks.
namespace crypto_test {

using Bytes = std::vector<std::byte>;

inline std::vector<std::byte> fromHex(std::string_view hex) {
    std::vector<std::byte> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(
            static_cast<std::byte>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    }
    return bytes;
}

// Bytes drawn from `random`, so a seed gives the same bytes on every run.
inline Bytes randomBytes(std::size_t size, std::mt19937& random) {
    Bytes bytes(size);
    for (auto& b : bytes) {
        b = static_cast<std::byte>(random());
    }
    return bytes;
}

struct Signed {
    Bytes publicKey;
    Bytes message;
    Bytes signature;
};

// A key pair made by OpenSSL for this run, and OpenSSL's signatures.
class OpenSslSigner {
  public:
    OpenSslSigner() : key_(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), EVP_PKEY_free) {
        EXPECT_NE(key_, nullptr);
    }

    Bytes publicKey() const {
        Bytes bytes(32);
        std::size_t size = bytes.size();
        EXPECT_EQ(EVP_PKEY_get_raw_public_key(
                      key_.get(), reinterpret_cast<unsigned char*>(bytes.data()), &size),
                  1);
        return bytes;
    }

    Signed sign(Bytes message) const {
        std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                        EVP_MD_CTX_free);
        Bytes signature(64);
        std::size_t size = signature.size();
        EXPECT_EQ(EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key_.get()), 1);
        EXPECT_EQ(
            EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                           reinterpret_cast<const unsigned char*>(message.data()), message.size()),
            1);
        return {publicKey(), std::move(message), std::move(signature)};
    }

  private:
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key_;
};

}  // namespace crypto_test
