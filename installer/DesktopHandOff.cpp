// The window's hand-offs to the desktop: opening files, starting the
// installed application and showing items in the file browser.
#include <cstdlib>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QProcess>
#include <QUrl>

#include "installer/MainQueue.h"
#include "installer/ViewController.h"
#include "platform/bundle/Bundle.h"

namespace installer {
namespace {

namespace fs = std::filesystem;

QUrl fileURL(const fs::path& path) {
    return QUrl::fromLocalFile(QString::fromStdString(path.string()));
}

std::optional<fs::path> bundleExecutable(const fs::path& bundle) {
    std::error_code ignored;
    if (bundle.extension() != ".app" || !fs::is_directory(bundle, ignored) ||
        !fs::is_regular_file(bundle / "Contents" / "Info.plist", ignored)) {
        return std::nullopt;
    }
    auto name = platform::Bundle::at(bundle).stringSetting("CFBundleExecutable");
    if (!name || name->empty() || name->find('/') != std::string::npos) {
        return fs::path();  // a bundle that names nothing to start
    }
    return bundle / "Contents" / "MacOS" / *name;
}

bool hasSessionBus() {
    // Only a bus that is there: asking for one would start a daemon.
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address != nullptr && *address != '\0') {
        return true;
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::error_code ignored;
    return runtime != nullptr && *runtime != '\0' &&
           fs::is_socket(fs::path(runtime) / "bus", ignored);
}

// Long enough for a running file browser to answer, short enough that an
// installer about to exit is not held up for long.
constexpr int busCallLimitMilliseconds = 3000;

// Qt's desktop services belong to the main thread; the flow may ask from
// another one.
bool openOnMainThread(const QUrl& url) {
    bool accepted = false;
    MainQueue::shared().runOnMainThread([&] { accepted = QDesktopServices::openUrl(url); });
    return accepted;
}

}  // namespace

bool ViewController::openFile(const fs::path& file) {
    std::error_code ignored;
    return fs::exists(file, ignored) && openOnMainThread(fileURL(file));
}

bool ViewController::launchApplication(const fs::path& bundle) {
    auto executable = bundleExecutable(bundle);
    if (!executable) {
        return openFile(bundle);
    }
    if (executable->empty()) {
        return false;
    }
    // Detached and with nothing of ours: it must outlive the installer.
    QProcess process;
    process.setProgram(QString::fromStdString(executable->string()));
    process.setWorkingDirectory("/");
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    return process.startDetached();
}

void ViewController::revealInFileViewer(const fs::path& item) {
    if (hasSessionBus()) {
        auto bus = QDBusConnection::sessionBus();
        auto call = QDBusMessage::createMethodCall("org.freedesktop.FileManager1",
                                                   "/org/freedesktop/FileManager1",
                                                   "org.freedesktop.FileManager1", "ShowItems");
        call << QStringList{fileURL(item).toString(QUrl::FullyEncoded)} << QString();
        if (bus.isConnected() && bus.call(call, QDBus::Block, busCallLimitMilliseconds).type() ==
                                     QDBusMessage::ReplyMessage) {
            return;
        }
    }
    openOnMainThread(fileURL(item.parent_path()));
}

}  // namespace installer
