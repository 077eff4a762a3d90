// Writes the same number of bytes to standard output and standard error,
// alternating chunk by chunk, so a reader that drains only one of the pipes
// makes it wait for ever. Output byte i is 'a' + i % 26, error byte i is
// 'A' + i % 26. Arguments: bytes per stream, chunk size.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace {

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        return 2;
    }
    const std::size_t total = std::strtoull(argv[1], nullptr, 10);
    const std::size_t chunk = std::strtoull(argv[2], nullptr, 10);
    std::vector<char> out(chunk), err(chunk);
    for (std::size_t done = 0; done < total;) {
        const std::size_t size = std::min(chunk, total - done);
        for (std::size_t i = 0; i < size; ++i) {
            out[i] = static_cast<char>('a' + (done + i) % 26);
            err[i] = static_cast<char>('A' + (done + i) % 26);
        }
        if (!writeAll(1, out.data(), size) || !writeAll(2, err.data(), size)) {
            return 1;
        }
        done += size;
    }
    return 0;
}
