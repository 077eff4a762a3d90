#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace shell {

class Context;

// The program a run starts: a name looked up on the search path, or a path;
// given as any text or as a std::filesystem::path.
class Executable {
  public:
    Executable(std::string text) : text_(std::move(text)) {}  // NOLINT: implicit by design
    Executable(const char* text) : text_(text) {}             // NOLINT
    Executable(std::string_view text) : text_(text) {}        // NOLINT
    Executable(const std::filesystem::path& path) : text_(path.string()) {}  // NOLINT

    const std::string& text() const noexcept { return text_; }

  private:
    std::string text_;
};
class RunOutput;
class AsyncCommand;
class PrintedAsyncCommand;
struct RunOptions;
struct Invocation;

// Anything commands can be run through: contexts, readable streams (which
// become the commands' standard input) and texts (see TextInput). The one
// requirement is the context the commands run in; the operations that run
// commands are provided for every conformer.
class CommandRunning {
  public:
    virtual ~CommandRunning() = default;

    // The context for the next command. CustomContext gives a copy of itself,
    // MainContext the process-wide instance, readable streams and texts a new
    // context whose standard input reads them.
    virtual std::shared_ptr<Context> commandContext() const = 0;

    // Running commands in commandContext(), with argument values of any kind
    // (see flattenArguments). Defined in shell/Command.h and shell/Bash.cpp;
    // shell/Command.h and shell/Bash.h also hold the forms that run in
    // mainContext().
    template <class... Values>
    RunOutput runCaptured(const Executable& executable, const Values&... values) const;
    template <class... Values>
    RunOutput runCaptured(const RunOptions& options, const Executable& executable,
                          const Values&... values) const;
    template <class... Values>
    void runEchoing(const Executable& executable, const Values&... values) const;
    template <class... Values>
    void runEchoing(const RunOptions& options, const Executable& executable,
                    const Values&... values) const;
    template <class... Values>
    std::shared_ptr<AsyncCommand> startCaptured(Invocation executable,
                                                const Values&... values) const;
    template <class... Values>
    std::shared_ptr<PrintedAsyncCommand> startEchoing(Invocation executable,
                                                      const Values&... values) const;
    // Like the two above, but a launch failure is thrown, not fatal.
    template <class... Values>
    std::shared_ptr<AsyncCommand> tryStartCaptured(Invocation executable,
                                                   const Values&... values) const;
    template <class... Values>
    std::shared_ptr<PrintedAsyncCommand> tryStartEchoing(Invocation executable,
                                                         const Values&... values) const;
    // The same with "/bin/bash" "-c" script.
    RunOutput runCapturedScript(const std::string& script) const;
    RunOutput runCapturedScript(const RunOptions& options, const std::string& script) const;
    void runEchoingScript(const std::string& script) const;
    std::shared_ptr<AsyncCommand> startCapturedScript(Invocation script) const;
    std::shared_ptr<PrintedAsyncCommand> startEchoingScript(Invocation script) const;

  protected:
    CommandRunning() = default;
    CommandRunning(const CommandRunning&) = default;
    CommandRunning& operator=(const CommandRunning&) = default;
};

}  // namespace shell
