#pragma once

#include <filesystem>
#include <string>

namespace platform {

// The process's view of the file system: its working directory, the folder
// for temporary files, and making folders, with failures that name the path.
// Everything else goes through std::filesystem directly.
class FileSystem {
  public:
    static FileSystem& shared();

    // $TMPDIR when set and not empty, else /tmp.
    std::filesystem::path temporaryDirectory() const;
    // Throws SystemError when the working directory cannot be read.
    std::string currentDirectory() const;
    // Tells whether the working directory was changed.
    bool setCurrentDirectory(const std::string& path);
    // Makes the folder and every missing parent; an existing folder counts as
    // success, anything else in the way is an error (SystemError naming it).
    void createDirectories(const std::filesystem::path& path) const;
};

}  // namespace platform
