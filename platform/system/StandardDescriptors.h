#pragma once

namespace platform {

// Opens /dev/null on whichever of descriptors 0-2 is closed. Done once as
// the program starts, before this layer creates a descriptor of its own: a
// program started with its standard output closed would otherwise get a pipe
// on descriptor 1, taken for standard output, handed to children as theirs
// and never closed, so a captured run would wait for its end forever.
void reserveStandardDescriptors();

}  // namespace platform
