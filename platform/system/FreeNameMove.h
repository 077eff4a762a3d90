#pragma once

#include <filesystem>

namespace platform {

// Moves a file into a folder (made, with its parents, when missing) without
// ever replacing what is there: under the file's own name when that is free,
// else "NAME (1).EXT", "NAME (2).EXT", ... ("Foo.dmg" becomes "Foo (1).dmg";
// a name without an extension just gets the number). Each name is taken in
// one step that fails when it exists, so two runs at once, or a user saving a
// file meanwhile, cannot overwrite each other. Across file systems the file
// is copied to a hidden name in the folder first, then given its free name,
// then the original is removed; a failed copy leaves the original in place
// and nothing in the folder.
//
// Returns the file's new path. Failures throw std::system_error naming the
// paths.
std::filesystem::path moveIntoFolderUnderFreeName(const std::filesystem::path& file,
                                                  const std::filesystem::path& folder);

}  // namespace platform
