#include "shell/Stream.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/system/Pipe.h"
#include "shell/Context.h"

namespace shell {

namespace {

// ASCII is UTF-8, and command output is mostly ASCII: checking that first,
// 64 bytes at a time, is cheaper than the full validation.
bool isAscii(std::string_view text) noexcept {
    constexpr std::size_t blockSize = 64;
    const char* at = text.data();
    const char* const end = at + text.size();
    for (; end - at >= static_cast<std::ptrdiff_t>(blockSize); at += blockSize) {
#if defined(__SSE2__)
        const auto* block = reinterpret_cast<const __m128i*>(at);
        const __m128i any =
            _mm_or_si128(_mm_or_si128(_mm_loadu_si128(block), _mm_loadu_si128(block + 1)),
                         _mm_or_si128(_mm_loadu_si128(block + 2), _mm_loadu_si128(block + 3)));
        if (_mm_movemask_epi8(any) != 0)
            return false;
#else
        std::uint64_t words[blockSize / 8];
        std::memcpy(words, at, blockSize);
        std::uint64_t any = 0;
        for (const std::uint64_t word : words)
            any |= word;
        if (any & 0x8080808080808080ULL)
            return false;
#endif
    }
    unsigned char rest = 0;
    for (; at != end; ++at)
        rest |= static_cast<unsigned char>(*at);
    return rest < 0x80;
}

// Chunks stay small enough for the allocator to reuse their memory, and for
// the scans over them to find them in the cache.
constexpr std::size_t readChunkSize = 64 * 1024;

}  // namespace

ConversionError::ConversionError(std::string_view message)
    : platform::Error(std::make_error_code(std::errc::illegal_byte_sequence),
                      std::string(message)) {}

// WritableStream

void WritableStream::write(std::string_view text) {
    const auto textEncoding = encoding();
    const auto raw = std::as_bytes(std::span(text.data(), text.size()));
    if (textEncoding == platform::TextEncoding::utf8()) {
        // Text is UTF-8 already: check it and write it as it is, uncopied.
        if (!textEncoding.canDecode(raw))
            throw ConversionError(textToBinaryFailure);
        filehandle()->write(raw);
        return;
    }
    auto bytes = textEncoding.encode(text);
    if (!bytes)
        throw ConversionError(textToBinaryFailure);
    filehandle()->write(*bytes);
}

void WritableStream::write(std::span<const std::byte> data) {
    filehandle()->write(data);
}

void WritableStream::close() {
    filehandle()->close();
}

std::string WritableStream::debugDescription() const {
    return "WritableStream(filehandle: " + std::to_string(filehandle()->descriptor()) +
           ", encoding: " + encoding().name() + ")";
}

// ReadableStream

std::optional<platform::Bytes> ReadableStream::readSomeData() {
    auto data = filehandle()->readAvailable();
    if (data.empty())
        return std::nullopt;
    return data;
}

platform::Bytes ReadableStream::readData() {
    return filehandle()->readAll();
}

std::optional<std::string> ReadableStream::readSome() {
    std::string text;
    if (!readAvailableText(text))
        return std::nullopt;
    if (text.size() < readChunkSize / 2) {
        // A short read must not keep the whole chunk: callers keep chunks.
        text.shrink_to_fit();
    }
    return text;
}

bool ReadableStream::readAvailableText(std::string& text) {
    const auto textEncoding = encoding();
    if (textEncoding == platform::TextEncoding::utf8()) {
        // UTF-8 bytes are their own text: read straight into the string and
        // check it there, saving a copy of every chunk. Growing a string that
        // held the last chunk fills only what that chunk left short.
        text.resize(readChunkSize);
        const std::size_t count =
            filehandle()->read(std::as_writable_bytes(std::span(text.data(), text.size())));
        text.erase(count);
        if (count == 0)
            return false;
        if (!isAscii(text) && !textEncoding.canDecode(std::as_bytes(std::span(text.data(), count))))
            throw ConversionError(binaryToTextFailure);
        return true;
    }
    auto data = readSomeData();
    if (!data)
        return false;
    auto decoded = textEncoding.decode(*data);
    if (!decoded)
        throw ConversionError(binaryToTextFailure);
    text = std::move(*decoded);
    return true;
}

bool ReadableStream::readSomeInto(std::string& text) {
    auto chunk = readSome();
    if (!chunk)
        return false;
    text = std::move(*chunk);
    return true;
}

std::string ReadableStream::read() {
    auto text = encoding().decode(readData());
    if (!text)
        throw ConversionError(binaryToTextFailure);
    return std::move(*text);
}

LazyLines ReadableStream::lines() {
    // The source holds the stream, so the sequence keeps it alive.
    return LazyLines::refilling(
        [stream = shared_from_this()](std::string& chunk) { return stream->readSomeInto(chunk); });
}

void ReadableStream::writeTo(TextOutputStream& target) {
    while (auto text = readSome())
        target.write(*text);
}

void ReadableStream::writeTo(std::string& target) {
    while (auto text = readSome())
        target += *text;
}

void ReadableStream::writeTo(std::ostream& target) {
    while (auto text = readSome())
        target << *text;
}

void ReadableStream::onOutput(std::function<void(ReadableStream&)> handler) {
    filehandle()->setReadabilityHandler(
        [stream = weak_from_this(), handler = std::move(handler)](platform::FileHandle&) {
            if (auto alive = stream.lock())
                handler(*alive);
        });
}

void ReadableStream::onStringOutput(std::function<void(const std::string&)> handler) {
    onOutput([handler = std::move(handler)](ReadableStream& stream) {
        std::optional<std::string> text;
        try {
            text = stream.readSome();
        } catch (const ConversionError& error) {
            mainContext().stderror()->print(error.what());
            return;
        }
        if (text)
            handler(*text);
    });
}

std::string ReadableStream::debugDescription() const {
    return "ReadableStream(filehandle: " + std::to_string(filehandle()->descriptor()) +
           ", encoding: " + encoding().name() + ")";
}

// FileHandleStream

FileHandleStream::FileHandleStream(std::shared_ptr<platform::FileHandle> filehandle,
                                   platform::TextEncoding encoding)
    : filehandle_(std::move(filehandle)), encoding_(std::move(encoding)) {}

std::string FileHandleStream::debugDescription() const {
    return "FileHandleStream(filehandle: " + std::to_string(filehandle_->descriptor()) +
           ", encoding: " + encoding_.name() + ")";
}

// StdoutStream

StdoutStream::StdoutStream() : filehandle_(platform::FileHandle::standardOutput()) {}

void StdoutStream::write(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

std::string StdoutStream::debugDescription() const {
    return "StdoutStream(encoding: " + encoding_.name() + ")";
}

std::pair<std::shared_ptr<WritableStream>, std::shared_ptr<ReadableStream>> streams() {
    const auto pipe = platform::Pipe::create();
    return {std::make_shared<FileHandleStream>(pipe->writingEnd()),
            std::make_shared<FileHandleStream>(pipe->readingEnd())};
}

}  // namespace shell
