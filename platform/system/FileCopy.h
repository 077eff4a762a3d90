#pragma once

#include <filesystem>

namespace platform {

// Copies everything from the open file `in` to the open file `out`, in the
// kernel where it can (same file system first, then any file), else through
// a buffer. Failures throw SystemError naming source, with the errno as code.
void copyFileData(int in, int out, const std::filesystem::path& source);

}  // namespace platform
