#include "installer/ViewController.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QMetaObject>
#include <QShowEvent>
#include <QTimer>

#include "installer/AlertWindow.h"
#include "installer/BuildSettings.h"
#include "installer/MainQueue.h"
#include "installer/engine/ManifestLocation.h"
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
    InstallSettings settings;
    settings.manifestTemplate = manifestTemplate(buildEnvironment, productionHost, developmentHost);
    settings.publicKey = PublicKeySetting::read(platform::Bundle::main());
    engine_ = std::make_unique<InstallEngine>(*this, std::move(settings));
    engine_->start(readProductID(platform::Bundle::main()));
}

void ViewController::viewDidAppear() {
    if (auto name = platform::Bundle::main().stringSetting("CFBundleName")) {
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

bool ViewController::isMainThread() const {
    return MainQueue::shared().isMainThread();
}

void ViewController::runOnMainThread(const std::function<void()>& work) {
    MainQueue::shared().runOnMainThread(work);
}

void ViewController::showStatus(const std::string& text) {
    textField->setText(QString::fromStdString(text));
}

void ViewController::showProgress(double value) {
    progress->setValue(static_cast<int>(std::lround(value)));
}

void ViewController::showIcon() {
    auto path = platform::Bundle::main().resource("Icon", "icns");
    if (!path) {
        return;
    }
    // QIcon reads every size in the file and scales from the closest one.
    QIcon icon(QString::fromStdString(path->string()));
    if (!icon.isNull()) {
        imageView->setPixmap(icon.pixmap(imageView->size()));
    }
}

int ViewController::runAlert(const Alert& alert) {
    return runModalAlert(alert, window()->isVisible() ? window() : nullptr);
}

void ViewController::runLater(std::chrono::milliseconds delay, std::function<void()> work) {
    QTimer::singleShot(delay, this, std::move(work));
}

void ViewController::quit() {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
}

void ViewController::endWhenWindowCloses() {
    QGuiApplication::setQuitOnLastWindowClosed(true);
    if (!window()->isVisible()) {
        QCoreApplication::quit();
    }
}

void ViewController::exitProcess(int status) {
    std::fflush(nullptr);
    std::_Exit(status);
}

}  // namespace installer
