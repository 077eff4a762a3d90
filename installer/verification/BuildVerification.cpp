#include "installer/verification/BuildVerification.h"

#include <algorithm>
#include <vector>

#include "platform/crypto/Base64.h"

namespace installer {
namespace {

using platform::Ed25519Verification;

std::string sizeText(std::size_t size, std::size_t expected) {
    return "is " + std::to_string(size) + " bytes long, not " + std::to_string(expected);
}

}  // namespace

BuildVerification::BuildVerification(std::string url, const std::optional<std::string>& sha512,
                                     const std::optional<std::string>& signature,
                                     const PublicKeySetting& publicKey)
    : url_(std::move(url)) {
    // A broken key setting comes first: it says the bundle itself is at fault.
    usePublicKey(publicKey, signature);
    if (sha512 && !refusal_) {
        useDigest(*sha512);
    }
}

void BuildVerification::usePublicKey(const PublicKeySetting& publicKey,
                                     const std::optional<std::string>& signature) {
    if (publicKey.kind == PublicKeySetting::Kind::absent) {
        return;  // nothing to verify a signature against
    }
    const auto invalidKey = [&](const std::string& why) {
        refuse("The bundle's public key (\"" + std::string(publicKeySettingKey) +
               "\") is invalid: it " + why + ". The build at " + url_ + " cannot be verified.");
    };
    if (publicKey.kind == PublicKeySetting::Kind::notAString) {
        return invalidKey("is not a string");
    }
    const auto key = platform::decodeBase64(publicKey.text);
    if (!key) {
        return invalidKey("is not base64");
    }
    if (key->size() != Ed25519Verification::publicKeySize) {
        return invalidKey(sizeText(key->size(), Ed25519Verification::publicKeySize));
    }
    const auto keyBytes = std::span(*key).first<Ed25519Verification::publicKeySize>();
    if (!Ed25519Verification::isUsablePublicKey(keyBytes)) {
        return invalidKey("is not an Ed25519 public key");
    }
    if (!signature) {
        return refuse("The build at " + url_ +
                      " has no signature, and this installer accepts only signed builds.");
    }
    const auto signatureBytes = platform::decodeBase64(*signature);
    if (!signatureBytes) {
        return refuse("The signature of the build at " + url_ + " is not base64.");
    }
    if (signatureBytes->size() != Ed25519Verification::signatureSize) {
        return refuse("The signature of the build at " + url_ + " " +
                      sizeText(signatureBytes->size(), Ed25519Verification::signatureSize) + ".");
    }
    signature_.emplace(keyBytes,
                       std::span(*signatureBytes).first<Ed25519Verification::signatureSize>());
}

void BuildVerification::useDigest(const std::string& sha512) {
    const auto expected = platform::decodeBase64(sha512);
    if (!expected) {
        return refuse("The SHA-512 digest of the build at " + url_ + " is not base64.");
    }
    if (expected->size() != expectedDigest_.size()) {
        return refuse("The SHA-512 digest of the build at " + url_ + " " +
                      sizeText(expected->size(), expectedDigest_.size()) + ".");
    }
    std::ranges::copy(*expected, expectedDigest_.begin());
    digest_.emplace();
}

void BuildVerification::refuse(std::string message) {
    refusal_ = std::move(message);
    digest_.reset();
    signature_.reset();
}

void BuildVerification::update(std::span<const std::byte> bytes) {
    if (digest_) {
        digest_->update(bytes);
    }
    if (signature_) {
        signature_->update(bytes);
    }
}

std::optional<std::string> BuildVerification::finish() {
    if (refusal_) {
        return refusal_;
    }
    if (digest_) {
        const platform::Sha512::Digest actual = digest_->finish();
        if (actual != expectedDigest_) {
            return "The build downloaded from " + url_ + " has the SHA-512 digest " +
                   platform::encodeBase64(actual) + ", not " +
                   platform::encodeBase64(expectedDigest_) + " as its manifest says.";
        }
    }
    if (signature_ && !signature_->finish()) {
        return "The signature of the build at " + url_ +
               " does not match the downloaded bytes and the bundle's public key.";
    }
    return std::nullopt;
}

}  // namespace installer
