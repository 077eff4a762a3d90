#pragma once

#include "platform/system/URL.h"

namespace installer {

// The run's working directory: the system temporary directory plus a fresh
// UUID string, as a directory URL (its text ends with "/"). Computed once, on
// first use from any thread; only named here, never created.
const platform::URL& installerTempDirectory();

}  // namespace installer
