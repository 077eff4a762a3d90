#pragma once

#include <string>

namespace platform {

// A fresh random (version 4) UUID in upper-case 8-4-4-4-12 form, 36 characters.
std::string makeUUIDString();

}  // namespace platform
