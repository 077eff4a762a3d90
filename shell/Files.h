#pragma once

// Files as streams: open one for reading, open or create one for writing,
// and the not-found error they share.

#include <memory>
#include <string>
#include <string_view>

#include "platform/system/Error.h"
#include "platform/system/TextEncoding.h"
#include "platform/system/URL.h"
#include "shell/Stream.h"

namespace shell {

// Nothing exists at a path. Its description (what()) is
// "Error: '<path>' does not exist."; its code is ENOENT.
class FileError : public platform::Error {
  public:
    enum class Kind { notFound };

    static FileError notFound(std::string path);

    Kind kind() const noexcept { return Kind::notFound; }
    const std::string& path() const noexcept { return path_; }
    std::string description() const { return what(); }

    friend bool operator==(const FileError& a, const FileError& b) noexcept {
        return a.kind() == b.kind() && a.path_ == b.path_;
    }

  private:
    explicit FileError(std::string path);
    std::string path_;
};

// A path starting with "~" ("~", "~/x", "~user/x") with the home directory in
// its place; any other path unchanged.
std::string expandingTildeInPath(std::string_view path);

// Opens a file for reading. Throws FileError when nothing exists at the path,
// and the platform's error when something exists but cannot be opened.
std::shared_ptr<ReadableStream> openReadable(
    const std::string& path, platform::TextEncoding encoding = platform::TextEncoding::utf8());
std::shared_ptr<ReadableStream> openReadable(
    const platform::URL& url, platform::TextEncoding encoding = platform::TextEncoding::utf8());

// Opens a file for writing at its end. With replaceExisting, or when nothing
// exists at the path yet, the missing parent directories and an empty file
// are created first (emptying an existing file); otherwise writes are
// appended. Errors as for openReadable; a parent directory that cannot be
// created gives the platform's error.
std::shared_ptr<WritableStream> openWritable(
    const std::string& path, bool replaceExisting = false,
    platform::TextEncoding encoding = platform::TextEncoding::utf8());
std::shared_ptr<WritableStream> openWritable(
    const platform::URL& url, bool replaceExisting = false,
    platform::TextEncoding encoding = platform::TextEncoding::utf8());

// Throws FileError when nothing exists at the path.
void ensureFileExists(const std::string& path);

// The file URL with the text appended as one path component.
platform::URL operator+(const platform::URL& url, std::string_view component);

}  // namespace shell

namespace platform {
// Found by argument-dependent lookup wherever a URL is added to.
using shell::operator+;
}  // namespace platform
