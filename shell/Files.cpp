#include "shell/Files.h"

#include <exception>
#include <fstream>

#include "platform/system/FileHandle.h"
#include "platform/system/ProcessInfo.h"

namespace shell {

namespace fs = std::filesystem;

FileError::FileError(std::string path)
    : std::system_error(std::make_error_code(std::errc::no_such_file_or_directory)),
      path_(std::move(path)),
      description_("Error: '" + path_ + "' does not exist.") {}

FileError FileError::notFound(std::string path) {
    return FileError(std::move(path));
}

FileURL operator+(const FileURL& url, std::string_view component) {
    const auto start = component.find_first_not_of('/');
    component.remove_prefix(start == std::string_view::npos ? component.size() : start);
    return FileURL(url.path_ / component);
}

std::string expandTilde(std::string_view path) {
    if (path.empty() || path.front() != '~')
        return std::string(path);
    const auto slash = path.find('/');
    const std::string_view user =
        path.substr(1, slash == std::string_view::npos ? path.npos : slash - 1);
    const std::string_view rest =
        slash == std::string_view::npos ? std::string_view() : path.substr(slash);
    std::string home;
    if (user.empty()) {
        home = platform::processInfo::homeDirectory().string();
    } else if (auto found = platform::processInfo::homeDirectoryOf(user)) {
        home = found->string();
    } else {
        return std::string(path);  // an unknown user: nothing to expand
    }
    while (home.size() > 1 && home.back() == '/')
        home.pop_back();
    if (home == "/" && !rest.empty())
        home.clear();
    return home + std::string(rest);
}

namespace {

// Something is at the path, a dangling link included.
bool existsAt(const fs::path& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

// Runs open; when it fails, a missing path becomes FileError and anything
// else is passed on unchanged.
template <class Open>
std::shared_ptr<platform::FileHandle> openOrExplain(const fs::path& path, Open open) {
    try {
        return open();
    } catch (const std::exception&) {
        if (!existsAt(path))
            throw FileError::notFound(path.string());
        throw;
    }
}

}  // namespace

std::shared_ptr<ReadableStream> openReadable(const std::string& path,
                                             platform::TextEncoding encoding) {
    return openReadable(FileURL(expandTilde(path)), std::move(encoding));
}

std::shared_ptr<ReadableStream> openReadable(const FileURL& url, platform::TextEncoding encoding) {
    const fs::path& path = url.path();
    auto handle = openOrExplain(path, [&] { return platform::FileHandle::openForReading(path); });
    return std::make_shared<FileHandleStream>(std::move(handle), std::move(encoding));
}

std::shared_ptr<WritableStream> openWritable(const std::string& path, bool replaceExisting,
                                             platform::TextEncoding encoding) {
    return openWritable(FileURL(expandTilde(path)), replaceExisting, std::move(encoding));
}

std::shared_ptr<WritableStream> openWritable(const FileURL& url, bool replaceExisting,
                                             platform::TextEncoding encoding) {
    const fs::path& path = url.path();
    if (replaceExisting || !existsAt(path)) {
        if (path.has_parent_path())
            fs::create_directories(path.parent_path());
        // Creates or empties the file. Not examined: opening below tells
        // whether the file is there.
        std::ofstream created(path);
    }
    auto handle = openOrExplain(path, [&] { return platform::FileHandle::openForWriting(path); });
    handle->seekToEnd();
    return std::make_shared<FileHandleStream>(std::move(handle), std::move(encoding));
}

void ensureFileExists(const std::string& path) {
    if (!existsAt(path))
        throw FileError::notFound(path);
}

}  // namespace shell
