#pragma once

#include <QObject>

namespace installer {

// The application delegate. The window's controller drives the whole flow,
// so there is nothing to do at launch or termination.
class AppDelegate : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;

    void applicationDidFinishLaunching() {}
    void applicationWillTerminate() {}
    bool applicationSupportsSecureRestorableState() const { return true; }
};

}  // namespace installer
