#pragma once

#include <filesystem>

namespace installer {

// The run's working directory: the system temporary directory ($TMPDIR when
// set and not empty, else /tmp) plus a fresh UUID string. Computed once, on
// first use from any thread; only named here, never created.
const std::filesystem::path& installerTempDirectory();

}  // namespace installer
