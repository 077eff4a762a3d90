// The download step. For now it shows what it is about to fetch.
#include "installer/Format.h"
#include "installer/Log.h"
#include "installer/ViewController.h"

namespace installer {

void ViewController::downloadArtifact(const std::string& url, const std::string& path,
                                      const std::string& version, bool isZip) {
    runOnMain([&] {
        textField->setText(QString::fromStdString(format("Downloading version %@…", {version})));
        progress->setValue(3);
    });
    log({"Artifact:", url, "path:", path, "version:", version, isZip ? "zip" : "dmg"});
}

}  // namespace installer
