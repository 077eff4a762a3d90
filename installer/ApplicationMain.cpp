#include "installer/ApplicationMain.h"

#include <QApplication>

#include "installer/MainInterface.h"
#include "installer/MainQueue.h"

namespace installer {

int applicationMain(int argc, char** argv) {
    QApplication application(argc, argv);
    // Closing the window does not stop a run: it goes on to its own end (the
    // installed application opened, or an alert). Only a run that has stopped
    // short ends with the window (ViewController::endWhenWindowCloses).
    QApplication::setQuitOnLastWindowClosed(false);
    // The main queue must belong to this thread before any other thread
    // hands work to it.
    MainQueue::shared();

    MainInterface interface;
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &interface.delegate(),
                     [&interface] { interface.delegate().applicationWillTerminate(); });
    interface.delegate().applicationDidFinishLaunching();
    interface.window().show();
    return application.exec();
}

}  // namespace installer
