#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace installer::safety {

// Title of the alert for a refused path.
inline constexpr std::string_view unsafeArtifactPathTitle = "Unsafe path in manifest";

// Checks the manifest's `path` for a build before anything is downloaded: the
// build is written to workingDirectory / path, and nothing may land outside
// the working directory. Refused are an empty path, an absolute one, one with
// a ".." component (even one that would come back inside), one that names the
// working directory itself (".", "./."), and one holding a NUL character,
// which would cut the path short where the file is written. A path with
// folders inside the working directory passes; writing it fails later as any
// other write does.
//
// Returns nothing when the path may be used, else the alert's message, which
// names the path and the working directory.
std::optional<std::string> checkArtifactPath(const std::filesystem::path& workingDirectory,
                                             const std::string& path);

}  // namespace installer::safety
