#pragma once

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it
// when the value goes.
//
//   testsupport::TemporaryDirectory dir;
//   std::ofstream(dir.path() / "file.txt") << "text";

#include <filesystem>
#include <string_view>

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

}  // namespace testsupport
