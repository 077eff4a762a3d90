#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// An absolute URL: a file URL ("file:///tmp/x/", percent-encoded) or a
// network URL such as "https://host/path". A value type.
class URL {
  public:
    // Parses an absolute URL (scheme, and for http/https a host); none when the
    // text is not one. The text is kept as written.
    static std::optional<URL> parse(std::string_view text);
    // A file URL for a path; a relative path is resolved against the current
    // working directory. A directory URL's text ends with "/".
    static URL fileURL(const std::filesystem::path& path, bool isDirectory = false);

    const std::string& absoluteString() const noexcept { return text_; }
    std::string scheme() const;
    std::string host() const;  // empty for file URLs
    bool isFileURL() const;
    bool hasDirectoryPath() const;  // text ends with "/"
    // The decoded path ("/tmp/x" for "file:///tmp/x/"); no trailing "/" except for "/".
    std::string path() const;
    std::string lastPathComponent() const;
    // Appends one component (a "/" inside it gives nested components).
    URL appendingPathComponent(std::string_view component, bool isDirectory = false) const;
    URL deletingLastPathComponent() const;

    friend bool operator==(const URL&, const URL&) = default;

  private:
    explicit URL(std::string text) : text_(std::move(text)) {}
    std::string text_;
};

}  // namespace platform
