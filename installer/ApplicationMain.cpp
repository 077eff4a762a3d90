#include "installer/ApplicationMain.h"

#include <QApplication>

#include "installer/MainInterface.h"
#include "installer/MainQueue.h"

namespace installer {

int applicationMain(int argc, char** argv) {
    QApplication application(argc, argv);
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
