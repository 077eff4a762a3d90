#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "manifest/UpdateManifest.h"

namespace installer {

// What the manifest asks the downloaded bytes to match: the build's SHA-512
// digest and Ed25519 signature, base64, each when the manifest gives one.
struct BuildChecks {
    std::optional<std::string> sha512;
    std::optional<std::string> signature;
    friend bool operator==(const BuildChecks&, const BuildChecks&) = default;
};

// What the manifest step hands to the download: the chosen build's url and
// path as written in the manifest, the release's version, whether the build
// is a zip archive (true) or a disk image (false), and its checks.
struct ArtifactChoice {
    std::string url;
    std::string path;
    std::string version;
    bool isZip = false;
    BuildChecks checks = {};
    friend bool operator==(const ArtifactChoice&, const ArtifactChoice&) = default;
};

// The machine counts as ARM exactly when its hardware name is "arm64".
bool isARMHardwareName(std::string_view hardwareName);

// Chooses the build for a machine: the zip set whenever it is present (the
// dmg set is then ignored), else the dmg set; in that set the arm64 entry on
// an ARM machine when it has a url, else the x64 entry. ia32 is never chosen.
// None when the chosen entry is missing or lacks its url or path.
std::optional<ArtifactChoice> chooseArtifact(const manifest::UpdateManifest& manifest,
                                             std::string_view hardwareName);

}  // namespace installer
