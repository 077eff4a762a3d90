#include "platform/system/FreeNameMove.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <vector>

#include "platform/system/Descriptor.h"
#include "platform/system/FileCopy.h"
#include "platform/system/UUID.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

// Enough for any folder a person keeps; past it something is wrong.
constexpr int maximumNumber = 9999;

[[noreturn]] void fail(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

std::string quoted(const fs::path& path) {
    return "'" + path.string() + "'";
}

fs::path candidate(const fs::path& folder, const fs::path& name, int number) {
    if (number == 0) {
        return folder / name;
    }
    return folder /
           (name.stem().string() + " (" + std::to_string(number) + ")" + name.extension().string());
}

// Gives `from` the name `to` unless `to` exists; 0 or the errno. Where the
// file system cannot rename without replacing, a hard link does the same.
int placeNoReplace(const fs::path& from, const fs::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL) {
        return errno;
    }
    if (::link(from.c_str(), to.c_str()) < 0) {
        return errno;
    }
    ::unlink(from.c_str());
    return 0;
}

// Puts `from` under the first free name for `name` in the folder.
fs::path placeUnderFreeName(const fs::path& from, const fs::path& folder, const fs::path& name,
                            int& error) {
    for (int number = 0; number <= maximumNumber; ++number) {
        fs::path target = candidate(folder, name, number);
        error = placeNoReplace(from, target);
        if (error == 0) {
            return target;
        }
        if (error != EEXIST) {
            return {};
        }
    }
    return {};
}

// A complete copy of the file under a hidden name in the folder.
fs::path copyBeside(const fs::path& file, const fs::path& folder) {
    Descriptor in(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (in.get() < 0 || ::fstat(in.get(), &status) < 0) {
        fail(errno, "Could not open " + quoted(file));
    }
    fs::path hidden = folder / ("." + file.filename().string() + ".partial-" + makeUUIDString());
    Descriptor out(::open(hidden.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (out.get() < 0) {
        fail(errno, "Could not create " + quoted(hidden));
    }
    try {
        copyFileData(in.get(), out.get(), file);
        if (::fchmod(out.get(), status.st_mode & 07777) < 0 || ::fsync(out.get()) < 0) {
            fail(errno, "Could not finish " + quoted(hidden));
        }
    } catch (const std::system_error&) {
        ::unlink(hidden.c_str());
        throw;
    }
    return hidden;
}

}  // namespace

fs::path moveIntoFolderUnderFreeName(const fs::path& file, const fs::path& folder) {
    std::error_code made;
    fs::create_directories(folder, made);
    if (made) {
        fail(made.value(), "Could not create folder " + quoted(folder));
    }
    const fs::path name = file.filename();
    int error = 0;
    fs::path placed = placeUnderFreeName(file, folder, name, error);
    if (!placed.empty()) {
        return placed;
    }
    if (error != EXDEV) {
        fail(error, "Could not move " + quoted(file) + " into " + quoted(folder));
    }
    const fs::path hidden = copyBeside(file, folder);
    placed = placeUnderFreeName(hidden, folder, name, error);
    if (placed.empty()) {
        ::unlink(hidden.c_str());
        fail(error, "Could not move " + quoted(file) + " into " + quoted(folder));
    }
    ::unlink(file.c_str());
    return placed;
}

}  // namespace platform
