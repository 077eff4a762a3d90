#include "installer/engine/ArtifactSelection.h"

namespace installer {

bool isARMHardwareName(std::string_view hardwareName) {
    return hardwareName == "arm64";
}

std::optional<ArtifactChoice> chooseArtifact(const manifest::UpdateManifest& manifest,
                                             std::string_view hardwareName) {
    const auto& artifacts = manifest.artifacts;
    const auto& set = artifacts.zip ? artifacts.zip : artifacts.dmg;
    if (!set) {
        return std::nullopt;
    }
    bool armUsable = isARMHardwareName(hardwareName) && set->arm64 && set->arm64->url;
    const auto& entry = armUsable ? set->arm64 : set->x64;
    if (!entry || !entry->url || !entry->path) {
        return std::nullopt;
    }
    return ArtifactChoice{*entry->url,
                          *entry->path,
                          manifest.version,
                          artifacts.zip.has_value(),
                          {entry->sha512, entry->signature}};
}

}  // namespace installer
