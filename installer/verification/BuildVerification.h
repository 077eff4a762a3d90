#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "installer/verification/PublicKeySetting.h"
#include "platform/crypto/Ed25519Verification.h"
#include "platform/crypto/Sha512.h"

namespace installer {

// Checks one downloaded build while its bytes arrive, against the manifest
// entry's optional SHA-512 digest and Ed25519 signature (base64 texts) and
// the bundle's public key setting:
// - a digest that is present is always checked;
// - with a public key in the bundle, the build must carry a signature that
//   the key verifies; without one, a signature is ignored;
// - a public key setting that is present but unusable refuses every build.
// With neither a digest nor a key it checks nothing and always passes.
class BuildVerification {
  public:
    // The title of the alert that shows a failure message.
    static constexpr std::string_view failureTitle = "Error verifying download";

    // url: the build's url as the manifest writes it; failure messages name it.
    BuildVerification(std::string url, const std::optional<std::string>& sha512,
                      const std::optional<std::string>& signature,
                      const PublicKeySetting& publicKey);

    // The build's next bytes, in order.
    void update(std::span<const std::byte> bytes);
    // After the last byte, once: none when the build passes, otherwise the
    // message saying what failed.
    std::optional<std::string> finish();

  private:
    void usePublicKey(const PublicKeySetting& publicKey,
                      const std::optional<std::string>& signature);
    void useDigest(const std::string& sha512);
    void refuse(std::string message);

    std::string url_;
    // A failure known before any byte arrives; nothing is hashed then.
    std::optional<std::string> refusal_;
    std::optional<platform::Sha512> digest_;
    platform::Sha512::Digest expectedDigest_{};
    std::optional<platform::Ed25519Verification> signature_;
};

}  // namespace installer
