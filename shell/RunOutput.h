#pragma once

// The result of a captured run.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/system/Bytes.h"
#include "shell/AsyncCommand.h"
#include "shell/CommandError.h"

namespace shell {

// A finished captured run: the command, all bytes of both outputs and the
// error, if any. The texts are made at their first read and kept; like the
// rest of the object they carry no lock.
class RunOutput {
  public:
    RunOutput(std::shared_ptr<AsyncCommand> output, platform::Bytes rawStdout,
              platform::Bytes rawStderror, std::optional<CommandError> error);

    // Null when the command could not be started.
    const std::shared_ptr<AsyncCommand>& output() const noexcept { return output_; }
    const platform::Bytes& rawStdout() const noexcept { return rawStdout_; }
    // Empty when the outputs were merged.
    const platform::Bytes& rawStderror() const noexcept { return rawStderror_; }
    // returnedErrorCode for a status other than 0, inAccessibleExecutable for
    // a missing executable, launchFailed for any other failure to start,
    // timedOut for a run stopped at its timeout; none for success.
    const std::optional<CommandError>& error() const noexcept { return error_; }

    // The output decoded with the encoding of the matching stream of output().
    // A text on one line (at most one line feed, at its very end) loses the
    // white space and line breaks around it; a text on several lines stays as
    // it is. Throws ConversionError "Could not convert binary output of stdout
    // to text using encoding <name>." (or "stderror") when the bytes are not
    // text in that encoding.
    const std::string& stdout() const;
    const std::string& stderror() const;

    // The termination status (at once, 127 for a missing executable and 126
    // for another failure to start) and whether it is 0.
    int exitStatus() const;
    bool isSuccess() const;

    // The second run's result when this one succeeded; this one otherwise,
    // without running anything.
    RunOutput andThen(const std::function<RunOutput()>& second) const;
    // This one when it succeeded; the second run's result otherwise.
    RunOutput orElse(const std::function<RunOutput()>& second) const;

  private:
    std::shared_ptr<AsyncCommand> output_;
    platform::Bytes rawStdout_;
    platform::Bytes rawStderror_;
    std::optional<CommandError> error_;
    mutable std::optional<std::string> stdout_;
    mutable std::optional<std::string> stderror_;
};

inline RunOutput andThen(const RunOutput& first, const std::function<RunOutput()>& second) {
    return first.andThen(second);
}

inline RunOutput orElse(const RunOutput& first, const std::function<RunOutput()>& second) {
    return first.orElse(second);
}

// The clean-up rule of captured text: without a line feed, or with its first
// line feed as the last character, the text loses leading and trailing white
// space and line breaks; otherwise it is returned unchanged. "\r\n" counts as
// one character, not as a line feed.
std::string cleanedOutput(std::string text);

}  // namespace shell
