#pragma once

// Files as streams: open one for reading, open or create one for writing,
// and the not-found error they share.

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/system/TextEncoding.h"
#include "shell/Stream.h"

namespace shell {

// Nothing exists at a path. what() is exactly "Error: '<path>' does not
// exist."; code() is std::errc::no_such_file_or_directory.
class FileError : public std::system_error {
  public:
    enum class Kind { notFound };

    static FileError notFound(std::string path);

    Kind kind() const noexcept { return Kind::notFound; }
    const std::string& path() const noexcept { return path_; }
    const char* what() const noexcept override { return description_.c_str(); }
    std::string description() const { return description_; }

    friend bool operator==(const FileError& a, const FileError& b) noexcept {
        return a.kind() == b.kind() && a.path_ == b.path_;
    }

  private:
    explicit FileError(std::string path);
    std::string path_;
    std::string description_;
};

// Where a file is, for the operations below that take a location rather
// than a path text: a local path, used as it is (no "~" expansion).
class FileURL {
  public:
    explicit FileURL(std::filesystem::path path) : path_(std::move(path)) {}

    const std::filesystem::path& path() const noexcept { return path_; }

    // The text appended as one more component; slashes at its start do not
    // make it replace the location, a slash inside nests components.
    friend FileURL operator+(const FileURL& url, std::string_view component);
    friend bool operator==(const FileURL&, const FileURL&) = default;

  private:
    std::filesystem::path path_;
};

// A path starting with "~" ("~", "~/x", "~user/x") with the home directory in
// its place; any other path unchanged.
std::string expandTilde(std::string_view path);

// Opens a file for reading; a path text may start with "~". Throws FileError
// when nothing exists at the path, and the platform's error when something
// exists but cannot be opened.
std::shared_ptr<ReadableStream> openReadable(
    const std::string& path, platform::TextEncoding encoding = platform::TextEncoding::utf8());
std::shared_ptr<ReadableStream> openReadable(
    const FileURL& url, platform::TextEncoding encoding = platform::TextEncoding::utf8());

// Opens a file for writing at its end. With replaceExisting, or when nothing
// exists at the path yet, the missing parent directories and an empty file
// are created first (emptying an existing file); otherwise writes are
// appended. Errors as for openReadable; a parent directory that cannot be
// created gives std::filesystem's error.
std::shared_ptr<WritableStream> openWritable(
    const std::string& path, bool replaceExisting = false,
    platform::TextEncoding encoding = platform::TextEncoding::utf8());
std::shared_ptr<WritableStream> openWritable(
    const FileURL& url, bool replaceExisting = false,
    platform::TextEncoding encoding = platform::TextEncoding::utf8());

// Throws FileError when nothing exists at the path (a dangling link exists).
void ensureFileExists(const std::string& path);

}  // namespace shell
