#pragma once

#include <span>
#include <string>

namespace installer {

// The machine field of uname(), read as ISO-8859-1 text.
std::string machineHardwareName();

// Reads a fixed-size, zero-padded machine field: the bytes up to and
// including the last non-zero one (zeros before it stay), or the whole field
// when it holds only zeros; every byte is one ISO-8859-1 character.
std::string hardwareNameFromField(std::span<const char> field);

}  // namespace installer
