#pragma once

#include <memory>

#include "platform/system/FileHandle.h"

namespace platform {

// A unidirectional pipe; both ends are close-on-exec. A process given a pipe
// as an output receives the writing end, and the parent's copy of that end is
// closed right after launch, so readers see end of input when the child ends.
class Pipe {
  public:
    static std::shared_ptr<Pipe> create();  // throws SystemError

    const std::shared_ptr<FileHandle>& readingEnd() const noexcept { return reading_; }
    const std::shared_ptr<FileHandle>& writingEnd() const noexcept { return writing_; }

  private:
    Pipe(std::shared_ptr<FileHandle> reading, std::shared_ptr<FileHandle> writing)
        : reading_(std::move(reading)), writing_(std::move(writing)) {}
    std::shared_ptr<FileHandle> reading_;
    std::shared_ptr<FileHandle> writing_;
};

}  // namespace platform
