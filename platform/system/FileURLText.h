#pragma once

#include <filesystem>
#include <string>

namespace platform {

// The file URL text of a local path, as the log shows it: "file://", the
// absolute path percent-encoded (letters, digits and -._~!$&'()*+,;=:@/ stay
// as they are), and a final "/" for a directory.
std::string fileURLText(const std::filesystem::path& path, bool isDirectory);

}  // namespace platform
