#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "platform/system/Bytes.h"
#include "platform/system/Descriptor.h"

namespace platform {

// Owns one file descriptor (always close-on-exec) and closes it when the last
// reference goes, unless it wraps one of the standard descriptors 0-2.
// Shared by reference: streams, pipes and processes hold std::shared_ptr.
class FileHandle : public std::enable_shared_from_this<FileHandle> {
  public:
    // Takes ownership of fd, which must already be close-on-exec; one of the
    // standard descriptors 0-2 is used but never closed.
    static std::shared_ptr<FileHandle> adopt(Descriptor fd);
    // The process's standard descriptors; never closed by the handle.
    static std::shared_ptr<FileHandle> standardInput();
    static std::shared_ptr<FileHandle> standardOutput();
    static std::shared_ptr<FileHandle> standardError();
    // Opens the null device for reading and writing.
    static std::shared_ptr<FileHandle> nullDevice();
    // Opens an existing file; throws SystemError naming the path.
    static std::shared_ptr<FileHandle> openForReading(const std::filesystem::path& path);
    static std::shared_ptr<FileHandle> openForWriting(const std::filesystem::path& path);
    // A read-only handle at the start of an unnamed in-memory file that holds
    // exactly these bytes: reading yields them and then end of input.
    static std::shared_ptr<FileHandle> memoryFile(std::span<const std::byte> contents);

    ~FileHandle();
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    // -1 once closed.
    int descriptor() const noexcept;

    // Waits until at least one byte or end of input can be read and returns
    // what is available now; empty at end of input. Retries on EINTR.
    Bytes readAvailable();
    // Like readAvailable, into the caller's buffer: waits for at least one
    // byte, reads what fits, and returns the count (0 at end of input).
    std::size_t read(std::span<std::byte> buffer);
    // Reads until end of input.
    Bytes readAll();
    // Writes every byte, handling EINTR and short writes. Throws SystemError;
    // a pipe without reader gives SystemError(EPIPE), never SIGPIPE.
    void write(std::span<const std::byte> data);
    void write(std::string_view text);
    // What setAsideAvailable() found.
    enum class SetAside {
        busy,     // another thread is reading, or a readability handler is installed
        pending,  // everything readable now was taken in; more may come
        ended,    // end of input was reached
    };
    // Takes in, without waiting, whatever can be read now and keeps it for
    // the next reads of this handle, which return it first, in order. Only
    // when nobody else reads: a handle being read elsewhere, or watched by a
    // readability handler, is left alone (busy). For pipes, whose unread
    // bytes can be counted.
    SetAside setAsideAvailable();
    // Takes out what setAsideAvailable() kept, leaving none.
    Bytes takeSetAside();

    // Moves the position to the end of the file and returns it.
    std::uint64_t seekToEnd();
    // For an end of a pipe: tries to make the pipe hold at least `bytes`
    // unread bytes, and tells whether it now does.
    bool reservePipeCapacity(std::size_t bytes);
    // Closes the descriptor now; later calls do nothing.
    void close();

    // Installs (or with an empty function removes) the readability callback.
    // The platform's event thread calls it whenever data or end of input
    // can be read; end of input is reported once. Replaces any earlier one.
    //
    // A handler that reads nothing is called again only when new data comes,
    // so an idle handler never keeps the thread busy. Once this call or
    // close() has returned, the old handler is not running and never runs
    // again (when made from inside that handler, it just never runs again).
    // The handler does not keep the handle alive; destroying the handle
    // removes it. Handlers should not block: one thread serves every handle
    // and every process termination handler.
    // An exception that escapes a handler ends the watching of its handle.
    void setReadabilityHandler(std::function<void(FileHandle&)> handler);

  private:
    FileHandle(int fd, Descriptor owner);
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace platform
