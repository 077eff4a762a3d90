#include "platform/system/TreeRemoval.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/system/Descriptor.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

constexpr mode_t ownerAll = S_IRUSR | S_IWUSR | S_IXUSR;

// The first failure is kept for the message; the count tells how much stayed.
struct Failures {
    fs::path firstPath;
    std::string firstWhat;
    int firstError = 0;
    std::size_t count = 0;

    void add(const std::string& what, const fs::path& path, int error) {
        if (count++ == 0) {
            firstWhat = what;
            firstPath = path;
            firstError = error;
        }
    }
};

// Names in the open folder, read through a duplicate so the folder's own
// descriptor stays usable for the removals that follow.
bool listNames(int folder, std::vector<std::string>& names, int& error) {
    Descriptor copy(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
    if (!copy) {
        error = errno;
        return false;
    }
    DIR* stream = ::fdopendir(copy.get());
    if (stream == nullptr) {
        error = errno;
        return false;
    }
    copy.release();  // closedir closes it from now on
    ::rewinddir(stream);
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(stream);
        if (entry == nullptr) {
            error = errno;
            break;
        }
        std::string_view name(entry->d_name);
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
    }
    ::closedir(stream);
    return error == 0;
}

void removeEntry(int parent, const std::string& name, const fs::path& path, Failures& failures);

void removeFolderContents(int parent, const std::string& name, const fs::path& path, mode_t mode,
                          Failures& failures) {
    if ((mode & ownerAll) != ownerAll &&
        ::fchmodat(parent, name.c_str(), (mode & 07777) | ownerAll, AT_SYMLINK_NOFOLLOW) < 0) {
        // Not ours to change (or a link put in its place meanwhile); opening
        // may still work, and the failure to remove it will be reported.
        if (errno == ENOENT) {
            return;
        }
    }
    Descriptor folder(
        ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder.get() < 0) {
        if (errno != ENOENT) {
            failures.add("Could not open folder", path, errno);
        }
        return;
    }
    std::vector<std::string> names;
    int error = 0;
    if (!listNames(folder.get(), names, error)) {
        failures.add("Could not list folder", path, error);
    }
    for (const auto& child : names) {
        removeEntry(folder.get(), child, path / child, failures);
    }
}

void removeEntry(int parent, const std::string& name, const fs::path& path, Failures& failures) {
    struct stat status {};
    if (::fstatat(parent, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) < 0) {
        if (errno != ENOENT) {
            failures.add("Could not examine", path, errno);
        }
        return;
    }
    const bool folder = S_ISDIR(status.st_mode);
    if (folder) {
        removeFolderContents(parent, name, path, status.st_mode, failures);
    }
    if (::unlinkat(parent, name.c_str(), folder ? AT_REMOVEDIR : 0) < 0 && errno != ENOENT) {
        failures.add("Could not remove", path, errno);
    }
}

}  // namespace

void removeTree(const fs::path& path) {
    const fs::path name = path.filename();
    if (name.empty() && path.has_relative_path()) {
        removeTree(path.parent_path());  // "folder/": the folder itself
        return;
    }
    if (name.empty() || name == "." || name == "..") {
        throw std::system_error(EINVAL, std::generic_category(),
                                "Will not remove '" + path.string() + "'");
    }
    const fs::path parentPath = path.has_parent_path() ? path.parent_path() : fs::path(".");
    // Only searched, never listed: its own bits need not allow reading.
    Descriptor parent(::open(parentPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (parent.get() < 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return;  // nothing of the path exists, so nothing is left to remove
        }
        throw std::system_error(errno, std::generic_category(),
                                "Could not open folder '" + parentPath.string() + "'");
    }
    Failures failures;
    removeEntry(parent.get(), name.string(), path, failures);
    if (failures.count > 0) {
        std::string what = failures.firstWhat + " '" + failures.firstPath.string() + "'";
        if (failures.count > 1) {
            what += " and " + std::to_string(failures.count - 1) + " more";
        }
        throw std::system_error(failures.firstError, std::generic_category(), what);
    }
}

}  // namespace platform
