#pragma once

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it
// when the value goes.
//
//   testsupport::TemporaryDirectory dir;
//   std::ofstream(dir.path() / "file.txt") << "text";

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

class TemporaryDirectory {
  public:
    explicit TemporaryDirectory(std::string_view prefix = "corvantis-test");
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::filesystem::path& path() const noexcept { return path_; }

  private:
    std::filesystem::path path_;
};

// The names of the entries of a folder, sorted.
std::vector<std::string> namesIn(const std::filesystem::path& folder);

// Every byte of a file; empty when it cannot be read.
std::string contentOf(const std::filesystem::path& file);

}  // namespace testsupport
