#pragma once

#include <string>

#include "installer/engine/Alert.h"

namespace installer {

// The warning shown when the bundle could not be moved into /Applications:
// what the user has to do, naming the bundle, and the platform's error code.
Alert manualInstallAlert(const std::string& name, int errorCode);

}  // namespace installer
