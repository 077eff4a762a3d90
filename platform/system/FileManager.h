#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// File-system operations. Failures throw SystemError with a readable
// description naming the path.
class FileManager {
  public:
    static FileManager& defaultManager();

    // $TMPDIR when set and not empty, else /tmp.
    std::filesystem::path temporaryDirectory() const;
    std::filesystem::path homeDirectory() const;  // $HOME, else the passwd entry
    // The passwd entry's home of the named user; none for an unknown user.
    std::optional<std::filesystem::path> homeDirectoryForUser(const std::string& user) const;
    std::string currentDirectoryPath() const;
    bool changeCurrentDirectoryPath(const std::string& path);

    bool fileExistsAtPath(const std::string& path) const;  // also dangling links
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
