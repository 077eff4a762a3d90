#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace manifest {

// One downloadable file. The digest and the signature are base64 texts as
// the document holds them; whoever checks the download decodes them.
struct Artifact {
    std::optional<std::string> path;
    std::optional<std::string> url;
    // SHA-512 of the file.
    std::optional<std::string> sha512 = std::nullopt;
    // Ed25519 signature over the file's bytes.
    std::optional<std::string> signature = std::nullopt;
    friend bool operator==(const Artifact&, const Artifact&) = default;
};

// The builds of one package format, by processor architecture.
struct Artifacts {
    std::optional<Artifact> ia32;
    std::optional<Artifact> x64;
    std::optional<Artifact> arm64;
    friend bool operator==(const Artifacts&, const Artifacts&) = default;
};

// The builds by package format.
struct MacArtifacts {
    std::optional<Artifacts> dmg;
    std::optional<Artifacts> zip;
    friend bool operator==(const MacArtifacts&, const MacArtifacts&) = default;
};

// The update manifest of one release.
struct UpdateManifest {
    MacArtifacts artifacts;
    std::string createdAt;
    std::string version;
    friend bool operator==(const UpdateManifest&, const UpdateManifest&) = default;
};

// The body is not a valid manifest; the description says what is wrong and
// where (the key path).
class DecodingError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Decodes a whole document or throws DecodingError; never a partial manifest.
UpdateManifest decodeManifest(std::span<const std::byte> body);
UpdateManifest decodeManifest(std::string_view body);

// The JSON text of a manifest with the same keys; absent members are left out.
// Bytes of a string that are not valid UTF-8 are written as U+FFFD.
std::string encodeManifest(const UpdateManifest& manifest);

}  // namespace manifest
