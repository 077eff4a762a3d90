#pragma once

// Shell scripts as commands: "/bin/bash" "-c" script. The script forms of
// every CommandRunning conformer are defined in Bash.cpp; these run in
// mainContext().

#include <memory>
#include <string>

#include "shell/Command.h"

namespace shell {

RunOutput runCapturedScript(const std::string& script);
RunOutput runCapturedScript(const RunOptions& options, const std::string& script);
void runEchoingScript(const std::string& script);
std::shared_ptr<AsyncCommand> startCapturedScript(Invocation script);
std::shared_ptr<PrintedAsyncCommand> startEchoingScript(Invocation script);

}  // namespace shell
