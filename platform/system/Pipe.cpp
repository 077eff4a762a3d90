#include "platform/system/Pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/system/Error.h"

namespace platform {

std::shared_ptr<Pipe> Pipe::create() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) < 0)
        throw SystemError("Could not create a pipe", errno);
    Descriptor readFd(fds[0]);
    Descriptor writeFd(fds[1]);
    auto reading = FileHandle::adopt(std::move(readFd));
    auto writing = FileHandle::adopt(std::move(writeFd));
    return std::shared_ptr<Pipe>(new Pipe(std::move(reading), std::move(writing)));
}

}  // namespace platform
