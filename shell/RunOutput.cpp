#include "shell/RunOutput.h"

#include "shell/Context.h"

#include <cstdint>
#include <string_view>

namespace shell {

namespace {

constexpr int unlaunchableStatus = 126;

bool isWhiteSpace(char32_t scalar) {
    // Unicode White_Space: ASCII blanks and controls 9-13, NEL, no-break
    // spaces, the typographic spaces and the line and paragraph separators.
    return (scalar >= 0x09 && scalar <= 0x0D) || scalar == 0x20 || scalar == 0x85 ||
           scalar == 0xA0 || scalar == 0x1680 || (scalar >= 0x2000 && scalar <= 0x200A) ||
           scalar == 0x2028 || scalar == 0x2029 || scalar == 0x202F || scalar == 0x205F ||
           scalar == 0x3000;
}

bool isContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// The scalar of the valid UTF-8 sequence text[begin, end).
char32_t scalarOf(std::string_view sequence) {
    auto lead = static_cast<unsigned char>(sequence[0]);
    if (sequence.size() == 1) {
        return lead;
    }
    char32_t scalar = lead & (0x7F >> sequence.size());
    for (std::size_t i = 1; i < sequence.size(); ++i) {
        scalar = (scalar << 6) | (static_cast<unsigned char>(sequence[i]) & 0x3F);
    }
    return scalar;
}

std::string trimmedWhiteSpace(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t next = begin + 1;
        while (next < text.size() && isContinuation(text[next])) {
            ++next;
        }
        if (!isWhiteSpace(scalarOf(text.substr(begin, next - begin)))) {
            break;
        }
        begin = next;
    }
    std::size_t end = text.size();
    while (end > begin) {
        std::size_t start = end - 1;
        while (start > begin && isContinuation(text[start])) {
            --start;
        }
        if (!isWhiteSpace(scalarOf(text.substr(start, end - start)))) {
            break;
        }
        end = start;
    }
    return std::string(text.substr(begin, end - begin));
}

// The first line feed that is a character of its own, not the end of "\r\n".
std::size_t firstLineFeed(std::string_view text) {
    for (std::size_t at = text.find('\n'); at != std::string_view::npos;
         at = text.find('\n', at + 1)) {
        if (at == 0 || text[at - 1] != '\r') {
            return at;
        }
    }
    return std::string_view::npos;
}

std::string decoded(const platform::Bytes& bytes, const std::shared_ptr<ReadableStream>& stream,
                    std::string_view name) {
    // A command that never started has no streams; its streams would have
    // had mainContext's encoding.
    auto encoding = stream ? stream->encoding() : mainContext().encoding();
    auto text = encoding.decode(bytes);
    if (!text) {
        throw ConversionError("Could not convert binary output of " + std::string(name) +
                              " to text using encoding " + encoding.name() + ".");
    }
    return cleanedOutput(std::move(*text));
}

}  // namespace

std::string cleanedOutput(std::string text) {
    auto lineFeed = firstLineFeed(text);
    if (lineFeed == std::string::npos || lineFeed == text.size() - 1) {
        return trimmedWhiteSpace(text);
    }
    return text;
}

RunOutput::RunOutput(std::shared_ptr<AsyncCommand> output, platform::Bytes rawStdout,
                     platform::Bytes rawStderror, std::optional<CommandError> error)
    : output_(std::move(output)),
      rawStdout_(std::move(rawStdout)),
      rawStderror_(std::move(rawStderror)),
      error_(std::move(error)) {}

const std::string& RunOutput::stdout() const {
    if (!stdout_) {
        stdout_ = decoded(rawStdout_, output_ ? output_->stdout() : nullptr, "stdout");
    }
    return *stdout_;
}

const std::string& RunOutput::stderror() const {
    if (!stderror_) {
        stderror_ = decoded(rawStderror_, output_ ? output_->stderror() : nullptr, "stderror");
    }
    return *stderror_;
}

int RunOutput::exitStatus() const {
    if (!output_) {
        return error_ ? error_->exitCode() : unlaunchableStatus;
    }
    return output_->exitStatus();
}

bool RunOutput::isSuccess() const {
    return exitStatus() == 0;
}

RunOutput RunOutput::andThen(const std::function<RunOutput()>& second) const {
    return isSuccess() ? second() : *this;
}

RunOutput RunOutput::orElse(const std::function<RunOutput()>& second) const {
    return isSuccess() ? *this : second();
}

}  // namespace shell
