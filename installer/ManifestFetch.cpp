// The manifest step: request the product's update manifest, check and decode
// it, choose the build for this machine and hand it to the download.
#include <QIcon>

#include "installer/ArtifactSelection.h"
#include "installer/Format.h"
#include "installer/Log.h"
#include "installer/MachineHardwareName.h"
#include "installer/ManifestLocation.h"
#include "installer/ViewController.h"
#include "manifest/UpdateManifest.h"
#include "platform/bundle/Bundle.h"

namespace installer {

void ViewController::showIcon() {
    auto path = platform::Bundle::main().pathForResource("Icon", "icns");
    if (!path) {
        return;
    }
    // QIcon reads every size in the file and scales from the closest one.
    QIcon icon(QString::fromStdString(path->string()));
    if (!icon.isNull()) {
        imageView->setPixmap(icon.pixmap(imageView->size()));
    }
}

void ViewController::fetchManifest(const std::string& productID, ManifestHandOver handOver) {
    showIcon();
    auto text = manifestURLText(productID);
    auto manifestURL = platform::URL::parse(text);
    if (!manifestURL) {
        showError("Corvantis ID is incorrect",
                  format("The manifest location %@ made from it is not a valid URL.", {text}));
    }
    log({"Manifest URL is:", manifestURL->absoluteString()});

    auto session = platform::URLSession::ephemeral();
    auto task =
        session->dataTask(*manifestURL, [this, url = *manifestURL, handOver = std::move(handOver)](
                                            std::optional<platform::Bytes> body,
                                            std::optional<platform::HTTPResponse> response,
                                            std::optional<platform::URLError> error) {
            handleManifestResponse(std::move(body), std::move(response), std::move(error), url,
                                   handOver);
        });
    task->resume();
}

void ViewController::handleManifestResponse(std::optional<platform::Bytes> body,
                                            std::optional<platform::HTTPResponse> response,
                                            std::optional<platform::URLError> error,
                                            const platform::URL& manifestURL,
                                            const ManifestHandOver& handOver) {
    const auto& urlText = manifestURL.absoluteString();
    if (error || !body) {
        showError(format("Error downloading manifest from %@", {urlText}),
                  error ? error->localizedDescription() : std::string());
    }
    if (response && response->statusCode != 200) {
        showError("Error downloading manifest",
                  format("Server returned HTTP status code %@ from %@",
                         {std::to_string(response->statusCode), urlText}));
    }
    std::optional<manifest::UpdateManifest> decoded;
    try {
        decoded = manifest::decodeManifest(*body);
    } catch (const manifest::DecodingError& decodingError) {
        showError("Error decoding manifest JSON", decodingError.localizedDescription());
    }
    auto hardwareName = machineHardwareName();
    auto choice = chooseArtifact(*decoded, hardwareName);
    if (!choice) {
        showError("No suitable download in manifest",
                  format("The manifest from %@ offers no build with a url and a path for this "
                         "machine (%@).",
                         {urlText, hardwareName}));
    }
    handOver(choice->url, choice->path, choice->version, choice->isZip);
}

}  // namespace installer
