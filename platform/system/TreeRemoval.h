#pragma once

#include <filesystem>

namespace platform {

// Removes a file, a link or a whole directory tree, whatever permission bits
// its folders carry: an archive can hold read-only (0555) or closed (000)
// folders, which a process that obeys permission bits could neither empty
// nor list. Folders are given back owner read, write and search before they
// are opened; files need nothing, their folder's bits decide. Symbolic links
// are removed as links and never followed, so nothing outside the tree is
// touched or has its bits changed. A path that does not exist counts as
// removed.
//
// Everything that can go is removed even after a failure; then
// std::system_error is thrown naming the first item that stayed, with its
// errno, and how many stayed in all.
void removeTree(const std::filesystem::path& path);

}  // namespace platform
