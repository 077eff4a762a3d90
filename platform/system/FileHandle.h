#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "platform/system/Bytes.h"

namespace platform {

// Owns one file descriptor (always close-on-exec) and closes it when the last
// reference goes, unless it wraps one of the standard descriptors 0-2.
// Shared by reference: streams, pipes and processes hold std::shared_ptr.
class FileHandle : public std::enable_shared_from_this<FileHandle> {
public:
    // Takes ownership of fd, which must already be close-on-exec.
    static std::shared_ptr<FileHandle> adopt(int fd);
    // The process's standard descriptors; never closed by the handle.
    static std::shared_ptr<FileHandle> standardInput();
    static std::shared_ptr<FileHandle> standardOutput();
    static std::shared_ptr<FileHandle> standardError();
    // Opens the null device for reading and writing.
    static std::shared_ptr<FileHandle> nullDevice();

    ~FileHandle();
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    // -1 once closed.
    int fileDescriptor() const noexcept;

    // Waits until at least one byte or end of input can be read and returns
    // what is available now; empty at end of input. Retries on EINTR.
    Bytes availableData();
    // Reads until end of input.
    Bytes readDataToEndOfFile();
    // Writes every byte, handling EINTR and short writes. Throws SystemError.
    void write(std::span<const std::byte> data);
    void write(std::string_view text);
    // Closes the descriptor now; later calls do nothing.
    void close();

    // Installs (or with an empty function removes) the readability callback.
    // The platform's readability thread calls it whenever data or end of input
    // can be read; end of input is reported once. Replaces any earlier one.
    void setReadabilityHandler(std::function<void(FileHandle&)> handler);

private:
    FileHandle(int fd, bool owned);
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace platform
