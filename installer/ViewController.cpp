#include "installer/ViewController.h"

#include <QMetaObject>
#include <QShowEvent>

#include "installer/Log.h"
#include "installer/ManifestLocation.h"
#include "installer/TemporaryDirectory.h"
#include "platform/bundle/Bundle.h"
#include "ui_ViewController.h"

namespace installer {

ViewController::ViewController(QWidget* parent) : QWidget(parent) {}

ViewController::~ViewController() = default;

void ViewController::loadView() {
    Ui::ViewController ui;
    ui.setupUi(this);
    textField = ui.textField;
    progress = ui.progress;
    imageView = ui.imageView;
    viewDidLoad();
}

void ViewController::viewDidLoad() {
    bringToFront();
    log({"Temporary directory is: ", installerTempDirectory().absoluteString()});
    auto productID = readProductID(platform::Bundle::main());
    if (!productID) {
        showError("Corvantis ID is incorrect", "The value in the plist file is not a string.");
    }
    fetchManifest(*productID, [this](const std::string& url, const std::string& path,
                                     const std::string& version,
                                     bool isZip) { downloadArtifact(url, path, version, isZip); });
}

void ViewController::viewDidAppear() {
    if (auto name = platform::Bundle::main().stringForInfoDictionaryKey("CFBundleName")) {
        window()->setWindowTitle(QString::fromStdString(*name));
    }
}

void ViewController::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!event->spontaneous()) {
        viewDidAppear();
    }
}

void ViewController::bringToFront() {
    // The window is not on screen yet while the view loads; raise it as soon
    // as the event loop runs, which is after it has been shown.
    QMetaObject::invokeMethod(
        this,
        [this] {
            window()->raise();
            window()->activateWindow();
        },
        Qt::QueuedConnection);
}

}  // namespace installer
