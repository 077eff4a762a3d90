#pragma once

// A program the test starts and talks to: found on PATH, standard output into
// a pipe the test reads, standard error shared with the test. Standard input
// is /dev/null, or with Input::heldOpen a pipe the test holds and never
// writes: the child sees its end when the test process ends, however it ends,
// so a server can stop rather than outlive a test that crashed. The
// destructor kills a child that is still running and reaps it.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/system/FileHandle.h"

namespace testsupport {

class ChildProcess {
  public:
    enum class Input { devNull, heldOpen };

    // argv[0] is the program; throws std::system_error when it cannot start.
    explicit ChildProcess(const std::vector<std::string>& argv, Input input = Input::devNull);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // One line of standard output without its newline; none at its end.
    std::optional<std::string> readLine();
    // The rest of standard output.
    std::string readAll();
    // Stops reading: later output of the child goes nowhere.
    void closeOutput() { output_->close(); }
    void signal(int signalNumber);
    // Waits for the end; exit status, or 128 + the signal that ended it.
    int wait();

  private:
    pid_t pid_ = -1;
    std::shared_ptr<platform::FileHandle> output_;
    std::shared_ptr<platform::FileHandle> heldInput_;
    std::optional<int> status_;
};

struct ProgramResult {
    int status;          // exit status, or 128 + signal number
    std::string output;  // everything written to standard output
};

// Starts the program, reads all its output and waits for its end.
ProgramResult runProgram(const std::vector<std::string>& argv);

}  // namespace testsupport
