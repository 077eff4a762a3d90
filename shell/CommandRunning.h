#pragma once

#include <memory>

namespace shell {

class Context;

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

  protected:
    CommandRunning() = default;
    CommandRunning(const CommandRunning&) = default;
    CommandRunning& operator=(const CommandRunning&) = default;
};

}  // namespace shell
