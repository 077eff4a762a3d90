#pragma once

// Streams: text and bytes to and from the platform's file handles.
//
// A stream is a thin shared object (std::shared_ptr) around one file handle
// and a text encoding; it buffers nothing. Dropping a stream never closes its
// handle; close() does.
//
// Conversion failures are thrown as shell::ConversionError, whose what() is
// the exact message: "Could not convert binary data to text." from readSome(),
// read() and everything built on them (lines(), writeTo()), and "Could not
// convert text to binary data." from write(text) and print(). onStringOutput()
// runs on the event thread, where nobody could catch the error, so it
// reports the message on mainContext's stderror instead and goes on with the
// next chunk. Errors of the handle itself (a closed handle, a reader that has
// gone) are the platform's SystemError, passed through.

#include <charconv>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "platform/system/Bytes.h"
#include "platform/system/Error.h"
#include "platform/system/FileHandle.h"
#include "platform/system/TextEncoding.h"
#include "shell/CommandRunning.h"
#include "shell/LazySplit.h"

namespace shell {

inline constexpr std::string_view binaryToTextFailure = "Could not convert binary data to text.";
inline constexpr std::string_view textToBinaryFailure = "Could not convert text to binary data.";

// Bytes that are not text in the stream's encoding, or text that the encoding
// cannot represent.
class ConversionError : public platform::Error {
  public:
    explicit ConversionError(std::string_view message);
};

// A sink for text: write() takes each piece as it comes.
class TextOutputStream {
  public:
    virtual ~TextOutputStream() = default;
    virtual void write(std::string_view text) = 0;
};

// The textual description of a printed item: text as it is, true/false,
// numbers in their shortest decimal form, anything else through operator<<.
template <class T>
std::string describe(const T& item) {
    if constexpr (std::is_convertible_v<const T&, std::string_view>) {
        return std::string(std::string_view(item));
    } else if constexpr (std::is_same_v<T, bool>) {
        return item ? "true" : "false";
    } else if constexpr (std::is_same_v<T, char>) {
        return std::string(1, item);
    } else if constexpr (std::is_arithmetic_v<T>) {
        char buffer[64];
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, item);
        return std::string(buffer, result.ptr);
    } else {
        std::ostringstream out;
        out << item;
        return std::move(out).str();
    }
}

// Separator and terminator of print(); print(PrintFormat{.separator = "-"}, ...).
struct PrintFormat {
    std::string_view separator = " ";
    std::string_view terminator = "\n";
};

class ReadableStream;

// A stream that text and bytes can be written to.
class WritableStream : public TextOutputStream {
  public:
    virtual platform::TextEncoding encoding() const = 0;
    virtual void setEncoding(platform::TextEncoding encoding) = 0;
    virtual std::shared_ptr<platform::FileHandle> filehandle() const = 0;

    // Encodes the text with encoding() and writes all of it; throws
    // ConversionError when a character cannot be represented.
    void write(std::string_view text) override;
    // Writes the bytes unchanged.
    void write(std::span<const std::byte> data);
    // Closes the handle.
    virtual void close();

    // Writes each item's description, the separator between neighbours and
    // the terminator, every piece with its own call of write(text).
    template <class... Items>
    void print(const Items&... items) {
        print(PrintFormat{}, items...);
    }
    template <class... Items>
    void print(const PrintFormat& format, const Items&... items) {
        [[maybe_unused]] bool first = true;
        (printItem(format, describe(items), first), ...);
        write(format.terminator);
    }

    virtual std::string debugDescription() const;

  private:
    void printItem(const PrintFormat& format, const std::string& description, bool& first) {
        if (!first)
            write(format.separator);
        first = false;
        write(description);
    }
};

// A stream that text and bytes can be read from. Conforms to CommandRunning:
// commands run through it read it as their standard input. Always held by a
// std::shared_ptr (lines() and onOutput() rely on that).
class ReadableStream : public CommandRunning, public std::enable_shared_from_this<ReadableStream> {
  public:
    virtual platform::TextEncoding encoding() const = 0;
    virtual void setEncoding(platform::TextEncoding encoding) = 0;
    virtual std::shared_ptr<platform::FileHandle> filehandle() const = 0;

    // The text available now (waiting for at least one byte), or none at end
    // of input. Each chunk is decoded on its own.
    virtual std::optional<std::string> readSome();
    // All text up to end of input.
    virtual std::string read();
    // The bytes available now, or none at end of input.
    std::optional<platform::Bytes> readSomeData();
    // All bytes up to end of input.
    platform::Bytes readData();

    // The lines of the stream, read lazily: each step reads no more than it
    // needs. The sequence keeps the stream alive; iterating consumes the
    // stream, and a second iteration goes on where the stream stands. Input
    // ending in "\n" ends with an empty line; "\r\n" in one chunk is one
    // character and does not end a line. An iterator's line is overwritten by
    // the next step: copy it to keep it.
    LazyLines lines();

    // Writes every chunk of text into the target until end of input.
    void writeTo(TextOutputStream& target);
    void writeTo(std::string& target);
    void writeTo(std::ostream& target);

    // Makes handler(stream) the handle's readability callback, replacing any
    // earlier one; it runs on the platform's one event thread, beside every
    // other output and termination handler, so it must not block. The callback
    // holds the stream weakly and does nothing once the stream is gone.
    void onOutput(std::function<void(ReadableStream&)> handler);
    // Through onOutput(): reads each chunk with readSome() and hands it to the
    // handler; never calls it with empty text.
    void onStringOutput(std::function<void(const std::string&)> handler);

    // A context built from mainContext whose stdin is this stream.
    std::shared_ptr<Context> commandContext() const override;

    virtual std::string debugDescription() const;

  protected:
    // What lines() reads through: the next chunk into `text`, reusing its
    // memory, or false at end of input. By default it is readSome(), so a
    // stream that replaces readSome() is read through its own; a stream that
    // keeps the shared readSome() may read into `text` directly instead.
    virtual bool readSomeInto(std::string& text);
    // The shared readSome(), into `text`, reusing its memory.
    bool readAvailableText(std::string& text);
};

// A stream over any file handle, for reading or writing or both; whether that
// makes sense depends on the handle.
class FileHandleStream final : public ReadableStream, public WritableStream {
  public:
    explicit FileHandleStream(std::shared_ptr<platform::FileHandle> filehandle,
                              platform::TextEncoding encoding = platform::TextEncoding::utf8());

    platform::TextEncoding encoding() const override { return encoding_; }
    void setEncoding(platform::TextEncoding encoding) override { encoding_ = std::move(encoding); }
    std::shared_ptr<platform::FileHandle> filehandle() const override { return filehandle_; }

    std::string debugDescription() const override;

  protected:
    // Its readSome() is the shared one: lines() read into one chunk's memory.
    bool readSomeInto(std::string& text) override { return readAvailableText(text); }

  private:
    const std::shared_ptr<platform::FileHandle> filehandle_;
    platform::TextEncoding encoding_;
};

// The process's standard output. Text goes through the process-wide buffered
// standard output (stdio), unchanged; write(data) goes straight to the
// descriptor, past that buffer. close() does nothing.
class StdoutStream : public WritableStream {
  public:
    StdoutStream();

    platform::TextEncoding encoding() const override { return encoding_; }
    void setEncoding(platform::TextEncoding encoding) override { encoding_ = std::move(encoding); }
    std::shared_ptr<platform::FileHandle> filehandle() const override { return filehandle_; }

    using WritableStream::write;
    void write(std::string_view text) override;
    void close() override {}

    std::string debugDescription() const override;

  private:
    // Kept for the interface; text is written as it is.
    platform::TextEncoding encoding_ = platform::TextEncoding::utf8();
    const std::shared_ptr<platform::FileHandle> filehandle_;
};

// A new pipe: (a writer over its writing end, a reader over its reading end),
// both UTF-8. Closing the writer makes the reader reach end of input.
std::pair<std::shared_ptr<WritableStream>, std::shared_ptr<ReadableStream>> streams();

}  // namespace shell
