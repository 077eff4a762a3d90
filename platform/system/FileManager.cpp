#include "platform/system/FileManager.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <system_error>

#include "platform/system/Error.h"

namespace platform {

namespace {

std::string quoted(const std::filesystem::path& path) {
    return "'" + path.string() + "'";
}

}  // namespace

FileManager& FileManager::defaultManager() {
    static auto* manager = new FileManager;
    return *manager;
}

std::filesystem::path FileManager::temporaryDirectory() const {
    const char* value = std::getenv("TMPDIR");
    if (value != nullptr && *value != '\0')
        return value;
    return "/tmp";
}

std::string FileManager::currentDirectoryPath() const {
    std::error_code error;
    auto path = std::filesystem::current_path(error);
    if (error)
        throw SystemError("Could not read the current directory", error.value());
    return path.string();
}

bool FileManager::changeCurrentDirectoryPath(const std::string& path) {
    return ::chdir(path.c_str()) == 0;
}

void FileManager::createDirectory(const std::filesystem::path& path,
                                  bool withIntermediateDirectories) const {
    std::error_code error;
    if (withIntermediateDirectories) {
        std::filesystem::create_directories(path, error);
    } else {
        std::filesystem::create_directory(path, error);
    }
    if (error)
        throw SystemError("Could not create directory " + quoted(path), error.value());
    // create_directory reports no error when something else is in the way.
    if (!std::filesystem::is_directory(path, error)) {
        throw SystemError("Could not create directory " + quoted(path), EEXIST);
    }
}

bool FileManager::createFile(const std::filesystem::path& path) const {
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

void FileManager::removeItem(const std::filesystem::path& path) const {
    std::error_code error;
    std::filesystem::remove_all(path, error);
    if (error)
        throw SystemError("Could not remove " + quoted(path), error.value());
}

std::vector<std::string> FileManager::contentsOfDirectory(const std::filesystem::path& path) const {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        throw SystemError("Could not list directory " + quoted(path), errno);
    std::unique_ptr<DIR, int (*)(DIR*)> directory(::fdopendir(fd), ::closedir);
    if (!directory) {
        const int error = errno;
        ::close(fd);
        throw SystemError("Could not list directory " + quoted(path), error);
    }
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(directory.get());
        if (entry == nullptr) {
            if (errno != 0)
                throw SystemError("Could not list directory " + quoted(path), errno);
            break;
        }
        const std::string_view name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        names.emplace_back(name);
    }
    return names;
}

void FileManager::createSymbolicLink(const std::filesystem::path& at,
                                     const std::filesystem::path& destination) const {
    if (::symlink(destination.c_str(), at.c_str()) < 0) {
        throw SystemError("Could not create link " + quoted(at), errno);
    }
}

}  // namespace platform
