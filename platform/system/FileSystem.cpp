#include "platform/system/FileSystem.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "platform/system/Error.h"

namespace platform {

FileSystem& FileSystem::shared() {
    static auto* fileSystem = new FileSystem;
    return *fileSystem;
}

std::filesystem::path FileSystem::temporaryDirectory() const {
    const char* value = std::getenv("TMPDIR");
    if (value != nullptr && *value != '\0')
        return value;
    return "/tmp";
}

std::string FileSystem::currentDirectory() const {
    std::error_code error;
    auto path = std::filesystem::current_path(error);
    if (error)
        throw SystemError("Could not read the current directory", error.value());
    return path.string();
}

bool FileSystem::setCurrentDirectory(const std::string& path) {
    return ::chdir(path.c_str()) == 0;
}

void FileSystem::createDirectories(const std::filesystem::path& path) const {
    const auto failure = [&](int error) {
        return SystemError("Could not create directory '" + path.string() + "'", error);
    };
    std::error_code error;
    std::filesystem::create_directories(path, error);
    if (error)
        throw failure(error.value());
    // create_directories reports no error when a file is in the way.
    if (!std::filesystem::is_directory(path, error))
        throw failure(EEXIST);
}

}  // namespace platform
