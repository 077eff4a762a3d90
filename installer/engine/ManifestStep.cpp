// The manifest step: request the product's update manifest, check and decode
// it, choose the build for this machine and hand it to the download.
#include <span>

#include "installer/engine/ArtifactSelection.h"
#include "installer/engine/Format.h"
#include "installer/engine/InstallEngine.h"
#include "installer/engine/MachineHardwareName.h"
#include "manifest/UpdateManifest.h"
#include "platform/net/Address.h"

namespace installer {

void InstallEngine::fetchManifest(const std::string& productID, ManifestHandOver handOver) {
    view_.showIcon();
    auto manifestURL = format(settings_.manifestTemplate, {productID});
    try {
        (void)platform::net::checkedAddress(manifestURL);
    } catch (const platform::net::URLError&) {
        showError(
            "Corvantis ID is incorrect",
            format("The manifest location %@ made from it is not a valid URL.", {manifestURL}));
    }
    log({"Manifest URL is:", manifestURL});
    session_.fetch(
        manifestURL, maximumManifestSize,
        [this, manifestURL, handOver = std::move(handOver)](
            std::optional<platform::Bytes> body, std::optional<platform::net::Response> response,
            std::optional<platform::net::URLError> error) {
            atStepBoundary("Error downloading manifest from " + manifestURL, [&] {
                handleManifestResponse(std::move(body), std::move(response), std::move(error),
                                       manifestURL, handOver);
            });
        });
}

void InstallEngine::handleManifestResponse(std::optional<platform::Bytes> body,
                                           std::optional<platform::net::Response> response,
                                           std::optional<platform::net::URLError> error,
                                           const std::string& manifestURL,
                                           const ManifestHandOver& handOver) {
    if (error || !body) {
        showError(format("Error downloading manifest from %@", {manifestURL}),
                  error ? error->what() : std::string());
    }
    if (response && response->statusCode != 200) {
        showError("Error downloading manifest",
                  format("Server returned HTTP status code %@ from %@",
                         {std::to_string(response->statusCode), manifestURL}));
    }
    std::optional<manifest::UpdateManifest> decoded;
    try {
        decoded = manifest::decodeManifest(std::span<const std::byte>(*body));
    } catch (const manifest::DecodingError& decodingError) {
        showError("Error decoding manifest JSON", decodingError.what());
    }
    body.reset();  // the decoded manifest is all that is needed now
    const auto hardwareName = settings_.hardwareName.value_or(machineHardwareName());
    auto choice = chooseArtifact(*decoded, hardwareName);
    if (!choice) {
        showError("No suitable download in manifest",
                  format("The manifest from %@ offers no build with a url and a path for this "
                         "machine (%@).",
                         {manifestURL, hardwareName}));
    }
    handOver(choice->url, choice->path, choice->version, choice->isZip, choice->checks);
}

}  // namespace installer
