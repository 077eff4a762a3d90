#include "installer/verification/BuildVerification.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "platform/crypto/Base64.h"
#include "platform/crypto/Sha512.h"
#include "tests/platform/crypto/OpenSslSigner.h"

namespace {

using crypto_test::Bytes;
using crypto_test::OpenSslSigner;
using crypto_test::randomBytes;
using installer::BuildVerification;
using installer::PublicKeySetting;

// Characters a url may hold, which the messages must keep as they are.
const std::string url = "https://downloads.example.test/app/App 2.0.zip?arch=x64&sig=%2B";

std::string sha512Of(const Bytes& bytes) {
    platform::Sha512 hash;
    hash.update(bytes);
    return platform::encodeBase64(hash.finish());
}

TEST(BuildVerification, FollowsEveryRule) {
    const OpenSslSigner publisher;
    std::mt19937 random(1);
    const Bytes build = randomBytes(300'000, random);
    const Bytes tampered = [&] {
        Bytes bytes = build;
        bytes[150'000] ^= std::byte{0x80};
        return bytes;
    }();
    const std::string digest = sha512Of(build);
    const std::string signature = platform::encodeBase64(publisher.sign(build).signature);
    const auto key = PublicKeySetting::ofString(platform::encodeBase64(publisher.publicKey()));
    const auto noKey = PublicKeySetting::absent();
    const std::nullopt_t none = std::nullopt;
    const std::string tamperedDigest = sha512Of(tampered);
    const std::string invalidKey =
        "The bundle's public key (\"Corvantis Public Key\") is invalid: it ";
    const std::string unverifiable = ". The build at " + url + " cannot be verified.";
    const std::string badSignature = "The signature of the build at " + url +
                                     " does not match the downloaded bytes and the bundle's "
                                     "public key.";
    const std::string badDigest = "The build downloaded from " + url + " has the SHA-512 digest " +
                                  tamperedDigest + ", not " + digest + " as its manifest says.";

    struct Case {
        const char* what;
        PublicKeySetting publicKey;
        std::optional<std::string> sha512;
        std::optional<std::string> signature;
        const Bytes& download;
        std::optional<std::string> failure;
    };
    const std::vector<Case> cases = {
        // No key in the bundle: only a digest is checked.
        {"nothing to check", noKey, none, none, tampered, none},
        {"right digest", noKey, digest, none, build, none},
        {"wrong digest", noKey, digest, none, tampered, badDigest},
        {"digest not base64", noKey, "not base64!", none, build,
         "The SHA-512 digest of the build at " + url + " is not base64."},
        {"digest of the wrong size", noKey, platform::encodeBase64(Bytes(63)), none, build,
         "The SHA-512 digest of the build at " + url + " is 63 bytes long, not 64."},
        {"malformed signature ignored without a key", noKey, digest, "%%%", build, none},
        // A key in the bundle: a valid signature is required.
        {"signed", key, none, signature, build, none},
        {"signed, with its digest", key, digest, signature, build, none},
        {"unsigned", key, digest, none, build,
         "The build at " + url +
             " has no signature, and this installer accepts only signed "
             "builds."},
        {"signed bytes altered", key, none, signature, tampered, badSignature},
        {"altered bytes fail their digest first", key, digest, signature, tampered, badDigest},
        {"signed, wrong digest", key, tamperedDigest, signature, build,
         "The build downloaded from " + url + " has the SHA-512 digest " + digest + ", not " +
             tamperedDigest + " as its manifest says."},
        {"signature not base64", key, none, signature + " ", build,
         "The signature of the build at " + url + " is not base64."},
        {"signature of the wrong size", key, none, "", build,
         "The signature of the build at " + url + " is 0 bytes long, not 64."},
        // An unusable key refuses every build.
        {"key not a string", PublicKeySetting::notAString(), digest, signature, build,
         invalidKey + "is not a string" + unverifiable},
        {"key not base64", PublicKeySetting::ofString("O2onvM62pC1io6jQ\n"), none, none, build,
         invalidKey + "is not base64" + unverifiable},
        {"key of the wrong size", PublicKeySetting::ofString(platform::encodeBase64(Bytes(31))),
         digest, signature, build, invalidKey + "is 31 bytes long, not 32" + unverifiable},
        {"key no curve point", PublicKeySetting::ofString(platform::encodeBase64(Bytes(32))),
         digest, signature, build, invalidKey + "is not an Ed25519 public key" + unverifiable},
        {"empty key", PublicKeySetting::ofString(""), none, none, build,
         invalidKey + "is 0 bytes long, not 32" + unverifiable},
    };
    for (const auto& c : cases) {
        BuildVerification verification(url, c.sha512, c.signature, c.publicKey);
        // Fed in uneven pieces, as a download hands them over.
        const std::span bytes(c.download);
        for (std::size_t at = 0, piece = 1; at < bytes.size(); at += piece, piece = piece * 3 + 1) {
            verification.update(bytes.subspan(at, std::min(piece, bytes.size() - at)));
        }
        EXPECT_EQ(verification.finish(), c.failure) << c.what;
    }
}

}  // namespace
