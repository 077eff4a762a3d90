#include "shell/Files.h"

#include <cerrno>

#include "platform/system/FileHandle.h"
#include "shell/Context.h"

namespace shell {

FileError::FileError(std::string path)
    : platform::Error("Error: '" + path + "' does not exist.", ENOENT), path_(std::move(path)) {}

FileError FileError::notFound(std::string path) {
    return FileError(std::move(path));
}

std::string expandingTildeInPath(std::string_view path) {
    if (path.empty() || path.front() != '~')
        return std::string(path);
    const auto slash = path.find('/');
    const std::string_view user =
        path.substr(1, slash == std::string_view::npos ? path.npos : slash - 1);
    const std::string_view rest =
        slash == std::string_view::npos ? std::string_view() : path.substr(slash);
    std::string home;
    if (user.empty()) {
        home = fileSystem().homeDirectory().string();
    } else if (auto found = fileSystem().homeDirectoryForUser(std::string(user))) {
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

platform::URL fileURL(const std::string& path) {
    return platform::URL::fileURL(expandingTildeInPath(path), false);
}

// Runs open; when it fails, a missing path becomes FileError and anything
// else is passed on unchanged.
template <class Open>
std::shared_ptr<platform::FileHandle> openOrExplain(const std::string& path, Open open) {
    try {
        return open();
    } catch (const platform::SystemError&) {
        if (!fileSystem().fileExistsAtPath(path))
            throw FileError::notFound(path);
        throw;
    }
}

}  // namespace

std::shared_ptr<ReadableStream> openReadable(const std::string& path,
                                             platform::TextEncoding encoding) {
    return openReadable(fileURL(path), std::move(encoding));
}

std::shared_ptr<ReadableStream> openReadable(const platform::URL& url,
                                             platform::TextEncoding encoding) {
    const std::string path = url.path();
    auto handle = openOrExplain(path, [&] { return platform::FileHandle::forReadingAtPath(path); });
    return std::make_shared<FileHandleStream>(std::move(handle), std::move(encoding));
}

std::shared_ptr<WritableStream> openWritable(const std::string& path, bool replaceExisting,
                                             platform::TextEncoding encoding) {
    return openWritable(fileURL(path), replaceExisting, std::move(encoding));
}

std::shared_ptr<WritableStream> openWritable(const platform::URL& url, bool replaceExisting,
                                             platform::TextEncoding encoding) {
    const std::string path = url.path();
    if (replaceExisting || !fileSystem().fileExistsAtPath(path)) {
        fileSystem().createDirectory(url.deletingLastPathComponent().path(), true);
        // Not examined: opening below tells whether the file is there.
        fileSystem().createFile(path);
    }
    auto handle = openOrExplain(path, [&] { return platform::FileHandle::forWritingAtPath(path); });
    handle->seekToEndOfFile();
    return std::make_shared<FileHandleStream>(std::move(handle), std::move(encoding));
}

void ensureFileExists(const std::string& path) {
    if (!fileSystem().fileExistsAtPath(path))
        throw FileError::notFound(path);
}

platform::URL operator+(const platform::URL& url, std::string_view component) {
    return url.appendingPathComponent(component);
}

}  // namespace shell
