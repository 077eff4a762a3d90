#include "platform/system/StandardDescriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/system/Descriptor.h"

namespace platform {

void reserveStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) {
            continue;
        }
        // The lowest free number is this one; inherited by children like any
        // standard descriptor, so not close-on-exec.
        Descriptor opened(::open("/dev/null", O_RDWR));
        if (opened && opened.get() <= STDERR_FILENO) {
            opened.release();  // stays open for the life of the process
        }
    }
}

}  // namespace platform
