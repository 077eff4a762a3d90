#pragma once

// A program the test starts and talks to: found on PATH, standard input from
// /dev/null, standard output into a pipe the test reads, standard error shared
// with the test. The destructor kills a child that is still running and reaps
// it, so no test leaves processes behind.
//
//   testsupport::ChildProcess child({"python3", "-c", "print('hi')"});
//   std::string text = child.readAll();
//   int status = child.wait();  // exit status, or 128 + signal number
//
// runProgram does the three steps at once.
//
// With Input::heldOpen, standard input is instead a pipe the test holds and
// never writes: the child sees its end when the test process ends, however
// it ends, so a server can stop rather than outlive a test that crashed.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace testsupport {

class ChildProcess {
  public:
    enum class Input { devNull, heldOpen };

    // argv[0] is the program; throws std::system_error when it cannot start.
    explicit ChildProcess(const std::vector<std::string>& argv, Input input = Input::devNull);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const noexcept { return pid_; }
    // One line of standard output without its newline; none at end of output.
    std::optional<std::string> readLine();
    // The rest of standard output, up to its end.
    std::string readAll();
    // Stops reading: later output of the child goes nowhere.
    void closeOutput();
    void signal(int signalNumber);
    // Waits for the end; exit status, or 128 + the signal that ended it.
    int wait();

  private:
    pid_t pid_ = -1;
    int output_ = -1;
    int heldInput_ = -1;
    std::string pending_;
    std::optional<int> status_;
};

struct ProgramResult {
    int status;          // exit status, or 128 + signal number
    std::string output;  // everything written to standard output
};

ProgramResult runProgram(const std::vector<std::string>& argv);

}  // namespace testsupport
