#pragma once

namespace installer {

// Runs the application: builds the QApplication, loads the main interface,
// shows the window and runs the main loop until the application terminates.
// Returns the loop's exit status.
int applicationMain(int argc, char** argv);

}  // namespace installer
