#include "platform/system/FileCopy.h"

#include <sys/sendfile.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/system/Error.h"

namespace platform {
namespace {

[[noreturn]] void fail(const std::string& what, const std::filesystem::path& path, int errnum) {
    throw SystemError(what + " '" + path.string() + "'", errnum);
}

}  // namespace

void copyFileData(int in, int out, const std::filesystem::path& source) {
    // In the kernel when it can: same file system first, then any file.
    bool useSendfile = false;
    for (;;) {
        ssize_t copied = useSendfile ? ::sendfile(out, in, nullptr, 1 << 30)
                                     : ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
        if (copied > 0) {
            continue;
        }
        if (copied == 0) {
            return;
        }
        if (errno == EINTR) {
            continue;
        }
        bool unsupported =
            errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP;
        if (!useSendfile && unsupported) {
            useSendfile = true;
            continue;
        }
        if (useSendfile && unsupported) {
            break;
        }
        fail("Could not copy", source, errno);
    }
    std::vector<char> buffer(256 * 1024);
    for (;;) {
        ssize_t count = ::read(in, buffer.data(), buffer.size());
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            fail("Could not read", source, errno);
        }
        if (count == 0) {
            return;
        }
        for (ssize_t done = 0; done < count;) {
            ssize_t written = ::write(out, buffer.data() + done, static_cast<size_t>(count - done));
            if (written < 0 && errno != EINTR) {
                fail("Could not copy", source, errno);
            }
            done += written > 0 ? written : 0;
        }
    }
}

}  // namespace platform
