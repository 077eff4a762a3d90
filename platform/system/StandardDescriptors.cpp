#include "platform/system/StandardDescriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

void reserveStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) {
            continue;
        }
        // The lowest free number is this one; inherited by children like any
        // standard descriptor, so not close-on-exec.
        const int opened = ::open("/dev/null", O_RDWR);
        if (opened > STDERR_FILENO) {
            ::close(opened);
        }
    }
}

}  // namespace platform
