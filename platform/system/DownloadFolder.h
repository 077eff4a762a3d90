#pragma once

#include <filesystem>
#include <string>

namespace platform {

// The user's download folder, where a file handed to the user outlives the
// run that fetched it:
//   1. $XDG_DOWNLOAD_DIR, when set to an absolute path;
//   2. else the last XDG_DOWNLOAD_DIR line of user-dirs.dirs in
//      $XDG_CONFIG_HOME (when set to an absolute path) or ~/.config: a value
//      in double quotes (backslash escapes a character) or bare, where a
//      leading "$HOME" or "${HOME}" stands for the home folder; a value that
//      is not absolute after that is ignored;
//   3. else ~/Downloads.
// The home folder is $HOME, else the user's passwd entry. The folder may not
// exist yet; nothing is created here.
std::filesystem::path downloadDirectory();

}  // namespace platform
