#pragma once

#include <filesystem>

namespace platform {

// Moving whole items (files, or directory trees such as application bundles)
// into a folder without ever showing a half-made item under the final name.
// Work in progress lives under a hidden temporary name in the destination's
// folder ("." + name + ".moving-" + random letters). Failures throw
// SystemError naming the paths, with the errno as the code.

// Moves source to destination, which must not exist yet. Within one file
// system this is a rename. Across file systems the tree is copied under a
// temporary name beside the destination (symbolic links as links, permission
// bits and times kept), renamed into place, and then the source is removed.
void moveItem(const std::filesystem::path& source, const std::filesystem::path& destination);

// Replaces the existing item at destination with source. The new item is made
// complete under a temporary name beside the destination (renamed or copied
// there, as moveItem does), the two are swapped in one step, and the old
// item, then under the temporary name, is removed; no copy of it remains.
// Whoever looks at destination meanwhile finds either the whole old item or
// the whole new one. Returns the destination.
std::filesystem::path replaceItem(const std::filesystem::path& destination,
                                  const std::filesystem::path& source);

// Removes the temporary names that interrupted moves to destination left in
// its folder. Done by both operations above before they start; failures are
// ignored.
void removeInterruptedMoves(const std::filesystem::path& destination);

}  // namespace platform
