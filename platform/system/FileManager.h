#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace platform {

// File-system operations that throw SystemError with a description naming
// the path. std::filesystem does each of them as well and is what new code
// uses; these remain for the code that still calls them.
class FileManager {
  public:
    static FileManager& defaultManager();

    // $TMPDIR when set and not empty, else /tmp.
    std::filesystem::path temporaryDirectory() const;
    std::string currentDirectoryPath() const;
    bool changeCurrentDirectoryPath(const std::string& path);

    // An existing directory counts as success.
    void createDirectory(const std::filesystem::path& path, bool withIntermediateDirectories) const;
    // Creates or truncates; tells whether it worked.
    bool createFile(const std::filesystem::path& path) const;
    // Removes a file, link or whole directory tree.
    void removeItem(const std::filesystem::path& path) const;
    // Entry names (not paths) in the order the file system returns them.
    std::vector<std::string> contentsOfDirectory(const std::filesystem::path& path) const;
    void createSymbolicLink(const std::filesystem::path& at,
                            const std::filesystem::path& destination) const;
};

}  // namespace platform
