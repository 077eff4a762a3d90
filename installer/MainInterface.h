#pragma once

#include <memory>

#include <QMainWindow>
#include <QPointer>

#include "installer/AppDelegate.h"
#include "installer/ViewController.h"

namespace installer {

// The application's main interface: its delegate and its one window, whose
// content is the ViewController's view.
class MainInterface {
  public:
    // Creates the delegate, the window and its controller, and loads the
    // controller's view (which starts the install flow). Main thread only.
    MainInterface();
    ~MainInterface();
    MainInterface(const MainInterface&) = delete;
    MainInterface& operator=(const MainInterface&) = delete;

    AppDelegate& delegate() { return *delegate_; }
    QMainWindow& window() { return *window_; }

  private:
    std::unique_ptr<AppDelegate> delegate_;
    std::unique_ptr<QMainWindow> window_;
};

}  // namespace installer
