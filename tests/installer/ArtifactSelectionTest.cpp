#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "installer/engine/ArtifactSelection.h"

namespace {

using installer::ArtifactChoice;
using installer::chooseArtifact;
using manifest::Artifact;
using manifest::Artifacts;
using manifest::UpdateManifest;

// Each entry's checks name it, so a choice shows whose checks it took.
Artifact entry(const std::string& name) {
    return Artifact{name, "https://example.test/" + name, name + ".sha512", name + ".sig"};
}

Artifacts bothArchitectures(const std::string& format) {
    return Artifacts{std::nullopt, entry(format + "-x64"), entry(format + "-arm64")};
}

UpdateManifest manifestWith(std::optional<Artifacts> zip, std::optional<Artifacts> dmg,
                            std::string version = "2.4.1") {
    UpdateManifest manifest;
    manifest.artifacts.zip = std::move(zip);
    manifest.artifacts.dmg = std::move(dmg);
    manifest.createdAt = "2024-05-01T10:00:00Z";
    manifest.version = std::move(version);
    return manifest;
}

std::optional<ArtifactChoice> choice(const std::string& name, bool isZip,
                                     std::string version = "2.4.1") {
    const installer::BuildChecks checks{name + ".sha512", name + ".sig"};
    return ArtifactChoice{"https://example.test/" + name, name, std::move(version), isZip, checks};
}

struct SelectionCase {
    const char* description;
    UpdateManifest manifest;
    const char* hardwareName;
    std::optional<ArtifactChoice> expected;
};

TEST(ArtifactSelection, ChoosesByFormatThenArchitecture) {
    Artifacts zipArmWithoutURL{std::nullopt, entry("zip-x64"), Artifact{"zip-arm64", std::nullopt}};
    Artifacts zipArmWithoutPath{std::nullopt, entry("zip-x64"),
                                Artifact{std::nullopt, "https://example.test/zip-arm64"}};
    Artifacts onlyArm{std::nullopt, std::nullopt, entry("zip-arm64")};
    Artifacts onlyIA32{entry("ia32"), std::nullopt, std::nullopt};
    Artifacts x64WithoutURL{std::nullopt, Artifact{"zip-x64", std::nullopt}, std::nullopt};
    Artifacts emptySet{};

    const SelectionCase cases[] = {
        {"zip before dmg on Intel",
         manifestWith(bothArchitectures("zip"), bothArchitectures("dmg")), "x86_64",
         choice("zip-x64", true)},
        {"zip arm64 on ARM", manifestWith(bothArchitectures("zip"), bothArchitectures("dmg")),
         "arm64", choice("zip-arm64", true)},
        {"dmg only on Intel", manifestWith(std::nullopt, bothArchitectures("dmg")), "x86_64",
         choice("dmg-x64", false)},
        {"dmg only on ARM", manifestWith(std::nullopt, bothArchitectures("dmg")), "arm64",
         choice("dmg-arm64", false)},
        {"arm64 needs the exact name", manifestWith(bothArchitectures("zip"), std::nullopt),
         "ARM64", choice("zip-x64", true)},
        {"aarch64 is not arm64", manifestWith(bothArchitectures("zip"), std::nullopt), "aarch64",
         choice("zip-x64", true)},
        {"arm64 with a padded name is not arm64",
         manifestWith(bothArchitectures("zip"), std::nullopt), "arm64 ", choice("zip-x64", true)},
        {"arm64 without url falls back to x64", manifestWith(zipArmWithoutURL, std::nullopt),
         "arm64", choice("zip-x64", true)},
        {"arm64 with url but no path is unusable", manifestWith(zipArmWithoutPath, std::nullopt),
         "arm64", std::nullopt},
        {"zip with only arm64 on Intel ignores the dmg set",
         manifestWith(onlyArm, bothArchitectures("dmg")), "x86_64", std::nullopt},
        {"zip with only arm64 on ARM", manifestWith(onlyArm, std::nullopt), "arm64",
         choice("zip-arm64", true)},
        {"ia32 is never chosen", manifestWith(onlyIA32, onlyIA32), "x86_64", std::nullopt},
        {"empty zip set hides the dmg set", manifestWith(emptySet, bothArchitectures("dmg")),
         "x86_64", std::nullopt},
        {"no sets at all", manifestWith(std::nullopt, std::nullopt), "x86_64", std::nullopt},
        {"x64 without url", manifestWith(x64WithoutURL, std::nullopt), "x86_64", std::nullopt},
        {"empty version is passed on", manifestWith(bothArchitectures("zip"), std::nullopt, ""),
         "x86_64", choice("zip-x64", true, "")},
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(chooseArtifact(testCase.manifest, testCase.hardwareName), testCase.expected)
            << testCase.description;
    }
}

}  // namespace
