#include "platform/system/ItemMove.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/system/Descriptor.h"
#include "platform/system/Error.h"
#include "platform/system/FileCopy.h"
#include "platform/system/TreeRemoval.h"
#include "platform/system/UUID.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view temporaryMarker = ".moving-";
constexpr std::size_t randomLength = 12;

using Directory = std::unique_ptr<DIR, int (*)(DIR*)>;

std::string quoted(const fs::path& path) {
    return "'" + path.string() + "'";
}

[[noreturn]] void fail(const std::string& what, const fs::path& path, int errnum) {
    throw SystemError(what + " " + quoted(path), errnum);
}

std::string temporaryPrefix(const fs::path& destination) {
    std::string prefix = destination.filename().string();
    prefix.insert(prefix.begin(), '.');
    prefix.append(temporaryMarker);
    return prefix;
}

fs::path temporarySibling(const fs::path& destination) {
    std::string letters;
    for (char c : makeUUIDString()) {
        if (c != '-' && letters.size() < randomLength) {
            letters += c;
        }
    }
    return destination.parent_path() / (temporaryPrefix(destination) + letters);
}

void removeQuietly(const fs::path& path) {
    try {
        // Whatever modes the archive gave its folders, or a copy is left
        // behind on every update.
        removeTree(path);
    } catch (const std::system_error&) {
        // Left for removeInterruptedMoves on a later run.
    }
}

// rename() that refuses to replace; 0 or the errno.
int renameNoReplace(const fs::path& from, const fs::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL) {
        return errno;
    }
    // A file system without the flag: check, then rename.
    struct stat status {};
    if (::lstat(to.c_str(), &status) == 0) {
        return EEXIST;
    }
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

// Copies the item `name` of the open folder `from` to `toName` in the open
// folder `to`, which must not hold that name yet. Paths are for messages.
void copyItem(int from, const char* name, int to, const char* toName, const fs::path& source,
              const fs::path& target) {
    struct stat status {};
    if (::fstatat(from, name, &status, AT_SYMLINK_NOFOLLOW) < 0) {
        fail("Could not read", source, errno);
    }
    const timespec times[2] = {status.st_atim, status.st_mtim};
    const mode_t mode = status.st_mode & 07777;

    if (S_ISLNK(status.st_mode)) {
        std::string link(static_cast<std::size_t>(status.st_size) + 1, '\0');
        ssize_t length = ::readlinkat(from, name, link.data(), link.size());
        if (length < 0) {
            fail("Could not read link", source, errno);
        }
        link.resize(static_cast<std::size_t>(length));
        if (::symlinkat(link.c_str(), to, toName) < 0) {
            fail("Could not create link", target, errno);
        }
        ::utimensat(to, toName, times, AT_SYMLINK_NOFOLLOW);
    } else if (S_ISREG(status.st_mode)) {
        Descriptor in(::openat(from, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (in.get() < 0) {
            fail("Could not open", source, errno);
        }
        Descriptor out(::openat(to, toName, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (out.get() < 0) {
            fail("Could not create", target, errno);
        }
        copyFileData(in.get(), out.get(), source);
        // Set after the data, so a read-only file can still be filled.
        if (::fchmod(out.get(), mode) < 0 || ::futimens(out.get(), times) < 0) {
            fail("Could not set attributes of", target, errno);
        }
    } else if (S_ISDIR(status.st_mode)) {
        Directory in(nullptr, ::closedir);
        Descriptor inFd(::openat(from, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!inFd || !(in = Directory(::fdopendir(inFd.get()), ::closedir))) {
            fail("Could not open folder", source, errno);
        }
        inFd.release();  // closedir closes it from now on
        if (::mkdirat(to, toName, 0700) < 0) {
            fail("Could not create", target, errno);
        }
        Descriptor out(::openat(to, toName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (out.get() < 0) {
            fail("Could not open folder", target, errno);
        }
        for (;;) {
            errno = 0;
            const dirent* entry = ::readdir(in.get());
            if (entry == nullptr) {
                if (errno != 0) {
                    fail("Could not list folder", source, errno);
                }
                break;
            }
            std::string_view child(entry->d_name);
            if (child == "." || child == "..") {
                continue;
            }
            copyItem(::dirfd(in.get()), entry->d_name, out.get(), entry->d_name, source / child,
                     target / child);
        }
        // Set last: a read-only folder must first receive its entries.
        if (::fchmod(out.get(), mode) < 0 || ::futimens(out.get(), times) < 0) {
            fail("Could not set attributes of", target, errno);
        }
    } else {
        fail("Could not copy special file", source, EOPNOTSUPP);
    }
}

void copyTree(const fs::path& source, const fs::path& target) {
    fs::path sourceParent = source.parent_path().empty() ? "." : source.parent_path();
    fs::path targetParent = target.parent_path().empty() ? "." : target.parent_path();
    Descriptor from(::open(sourceParent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (from.get() < 0) {
        fail("Could not open folder", sourceParent, errno);
    }
    Descriptor to(::open(targetParent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (to.get() < 0) {
        fail("Could not open folder", targetParent, errno);
    }
    copyItem(from.get(), source.filename().c_str(), to.get(), target.filename().c_str(), source,
             target);
}

// Puts source under the temporary name staged: renamed when it can be, else
// copied. Tells whether it was copied (so the source is still there).
bool stage(const fs::path& source, const fs::path& staged) {
    int error = renameNoReplace(source, staged);
    if (error == 0) {
        return false;
    }
    if (error != EXDEV) {
        throw SystemError("Could not move " + quoted(source) + " to " + quoted(staged), error);
    }
    try {
        copyTree(source, staged);
    } catch (const SystemError&) {
        removeQuietly(staged);
        throw;
    }
    return true;
}

// Puts the staged item at destination; returns where the old item now is.
fs::path swapIn(const fs::path& staged, const fs::path& destination) {
    if (::renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, destination.c_str(), RENAME_EXCHANGE) ==
        0) {
        return staged;
    }
    int error = errno;
    struct stat status {};
    if (error == ENOENT && ::lstat(destination.c_str(), &status) < 0) {
        // The old item went away meanwhile: nothing to swap with.
        error = renameNoReplace(staged, destination);
        if (error == 0) {
            return {};
        }
    } else if (error == EINVAL) {
        // No atomic swap on this file system: the old item steps aside first,
        // so for a moment the name is free, but it never holds a partial item.
        fs::path aside = temporarySibling(destination);
        error = renameNoReplace(destination, aside);
        if (error == 0) {
            error = renameNoReplace(staged, destination);
            if (error == 0) {
                return aside;
            }
            ::rename(aside.c_str(), destination.c_str());
        }
    }
    throw SystemError("Could not replace " + quoted(destination), error);
}

}  // namespace

void removeInterruptedMoves(const fs::path& destination) {
    const std::string prefix = temporaryPrefix(destination);
    const fs::path folder = destination.parent_path().empty() ? "." : destination.parent_path();
    // Best effort: a folder that cannot be listed has nothing to clear.
    std::error_code error;
    std::vector<fs::path> leftovers;
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (name.size() == prefix.size() + randomLength && name.starts_with(prefix)) {
            leftovers.push_back(entry->path());
        }
    }
    for (const auto& leftover : leftovers) {
        removeQuietly(leftover);
    }
}

void moveItem(const fs::path& source, const fs::path& destination) {
    int error = renameNoReplace(source, destination);
    if (error == 0) {
        return;
    }
    if (error != EXDEV) {
        throw SystemError("Could not move " + quoted(source) + " to " + quoted(destination), error);
    }
    removeInterruptedMoves(destination);
    fs::path staged = temporarySibling(destination);
    stage(source, staged);
    error = renameNoReplace(staged, destination);
    if (error != 0) {
        removeQuietly(staged);
        throw SystemError("Could not move " + quoted(source) + " to " + quoted(destination), error);
    }
    removeQuietly(source);
}

fs::path replaceItem(const fs::path& destination, const fs::path& source) {
    removeInterruptedMoves(destination);
    fs::path staged = temporarySibling(destination);
    bool copied = stage(source, staged);
    fs::path old;
    try {
        old = swapIn(staged, destination);
    } catch (const SystemError&) {
        if (copied) {
            removeQuietly(staged);
        } else {
            ::rename(staged.c_str(), source.c_str());
        }
        throw;
    }
    if (!old.empty()) {
        removeQuietly(old);
    }
    if (copied) {
        removeQuietly(source);
    }
    return destination;
}

}  // namespace platform
