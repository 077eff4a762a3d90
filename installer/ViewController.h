#pragma once

#include <memory>

#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QWidget>

#include "installer/engine/InstallEngine.h"
#include "installer/engine/InstallView.h"

namespace installer {

// The controller of the installer's one window: the window side of the
// install flow. Its view is built from ViewController.ui; once built, the
// install engine starts on its own. It holds its three interface elements
// weakly.
class ViewController : public QWidget, public InstallView {
    Q_OBJECT
  public:
    explicit ViewController(QWidget* parent = nullptr);
    ~ViewController() override;

    // Interface outlets, connected when the view is loaded.
    QPointer<QLabel> textField;       // the status line
    QPointer<QProgressBar> progress;  // 0 to 100
    QPointer<QLabel> imageView;       // the product's icon

    // Builds the view from the interface file, connects the outlets and calls
    // viewDidLoad.
    void loadView();
    // Start of the flow (main thread): brings the window to the front and
    // starts the engine with the bundle's product identifier.
    void viewDidLoad();
    // Sets the window title from the bundle's "CFBundleName".
    void viewDidAppear();

    bool isMainThread() const override;
    void runOnMainThread(const std::function<void()>& work) override;
    void showStatus(const std::string& text) override;
    void showProgress(double value) override;
    void showIcon() override;
    int runAlert(const Alert& alert) override;
    void runLater(std::chrono::milliseconds delay, std::function<void()> work) override;
    void quit() override;
    // Closing the window from now on ends the installer, and a window
    // already closed ends it at once.
    void endWhenWindowCloses() override;
    // A disk image or any other file goes to the desktop's default handler.
    bool openFile(const std::filesystem::path& file) override;
    // An application bundle (NAME.app with Contents/Info.plist) is started
    // from Contents/MacOS/<CFBundleExecutable>, detached, so it outlives the
    // installer; anything else goes to the default handler.
    bool launchApplication(const std::filesystem::path& bundle) override;
    // The file browser's ShowItems request on the session bus; without a
    // file browser there, the item's folder goes to the default handler.
    void revealInFileViewer(const std::filesystem::path& item) override;
    // Other threads may be blocked inside runOnMainThread and Qt is still
    // up: leaves at once instead of running exit handlers under them.
    [[noreturn]] void exitProcess(int status) override;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void bringToFront();

    std::unique_ptr<InstallEngine> engine_;
};

}  // namespace installer
