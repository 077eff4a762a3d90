#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <span>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/system/Pipe.h"
#include "shell/Shell.h"
#include "tests/platform/io/Support.h"
#include "tests/shell/ShellTestSupport.h"

using platform::FileHandle;
using platform::TextEncoding;
using shell::ConversionError;
using shell::FileHandleStream;
using shell::ReadableStream;
using shell::WritableStream;
using shell_test::textsOf;

namespace {

// A writable stream that keeps every piece it is given.
class PieceStream final : public WritableStream {
  public:
    TextEncoding encoding() const override { return TextEncoding::utf8(); }
    void setEncoding(TextEncoding) override {}
    std::shared_ptr<FileHandle> filehandle() const override { return handle_; }
    void write(std::string_view text) override { pieces.emplace_back(text); }
    std::vector<std::string> pieces;

  private:
    std::shared_ptr<FileHandle> handle_ = FileHandle::nullDevice();
};

std::string conversionMessage(const std::function<void()>& operation) {
    return shell_test::messageThrownBy<ConversionError>(operation);
}

TEST(Streams, DrainedPipeAfterTheWriterClosedGivesNothing) {
    auto [writer, reader] = shell::streams();
    writer->write("abc");
    EXPECT_EQ(reader->readSome(), "abc");  // at once, the writer is still open
    writer->close();
    EXPECT_EQ(reader->readSome(), std::nullopt);
    EXPECT_EQ(reader->readSomeData(), std::nullopt);
    EXPECT_EQ(reader->read(), "");
    EXPECT_TRUE(reader->readData().empty());
}

TEST(Streams, PrintWritesEachPieceSeparately) {
    struct Case {
        const char* name;
        std::function<void(WritableStream&)> print;
        std::vector<std::string> pieces;
    };
    const Case cases[] = {
        {"no items", [](WritableStream& s) { s.print(); }, {"\n"}},
        {"separator",
         [](WritableStream& s) { s.print(shell::PrintFormat{.separator = "-"}, "x", "y"); },
         {"x", "-", "y", "\n"}},
        {"terminator",
         [](WritableStream& s) { s.print(shell::PrintFormat{.terminator = ""}, "x", "y"); },
         {"x", " ", "y", ""}},
        {"descriptions",
         [](WritableStream& s) { s.print(true, 2.5, -3, std::string("s"), 'c'); },
         {"true", " ", "2.5", " ", "-3", " ", "s", " ", "c", "\n"}},
    };
    for (const auto& c : cases) {
        PieceStream stream;
        c.print(stream);
        EXPECT_EQ(stream.pieces, c.pieces) << c.name;
    }
}

TEST(Streams, LinesComeAsTheyArriveAndGoOnWhereTheStreamStands) {
    const auto pipe = platform::Pipe::create();
    auto reader = std::make_shared<FileHandleStream>(pipe->readingEnd());
    auto writer = std::make_shared<FileHandleStream>(pipe->writingEnd());
    writer->write("first\nsec");
    {
        auto lines = reader->lines();
        // With the writer still open this returns only because "first" is complete.
        EXPECT_EQ(*lines.begin(), "first");
    }
    writer->write("ond\nthird");
    writer->close();
    // A new sequence starts where the stream stands; the part of "second"
    // that the first sequence had taken went with it.
    EXPECT_EQ(textsOf(reader->lines()), (std::vector<std::string>{"ond", "third"}));
    EXPECT_TRUE(textsOf(reader->lines()).empty());
}

TEST(Streams, LinesKeepTheirStreamAlive) {
    auto [writer, reader] = shell::streams();
    std::weak_ptr<ReadableStream> watched = reader;
    auto lines = reader->lines();
    reader.reset();
    EXPECT_FALSE(watched.expired());
    writer->write("a\nb");
    writer->close();
    EXPECT_EQ(textsOf(shell::LazyLines(std::move(lines))), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(watched.expired());
}

TEST(Streams, WriteToCopiesEveryChunkIntoTheTarget) {
    // A file in memory holds the data; reading it is reading a real file.
    const std::string data = iotest::sampleText(300 * 1024);
    auto feed = [&] {
        return std::make_shared<FileHandleStream>(FileHandle::memoryFile(iotest::bytes(data)));
    };
    std::ostringstream out;
    feed()->writeTo(out);
    EXPECT_TRUE(out.str() == data);
    auto [writer, reader] = shell::streams();
    std::thread copying([&, w = writer] {
        feed()->writeTo(*w);
        w->close();
    });
    EXPECT_TRUE(reader->read() == data);
    copying.join();
}

TEST(Streams, OutputCallbackIsInertOnceTheStreamIsGone) {
    iotest::LoopRounds rounds;
    const auto pipe = platform::Pipe::create();
    auto reader = std::make_shared<FileHandleStream>(pipe->readingEnd());
    iotest::Counter calls;
    reader->onOutput([&](ReadableStream& stream) {
        calls.add();
        stream.readSome();
    });
    pipe->writingEnd()->write(std::string_view("one"));
    calls.waitFor(1);
    std::weak_ptr<ReadableStream> watched = reader;
    reader.reset();
    rounds.pass(1);                  // the call that saw "one" has returned
    EXPECT_TRUE(watched.expired());  // and the callback does not hold the stream
    const long before = calls.value();
    pipe->writingEnd()->write(std::string_view("two"));
    pipe->writingEnd()->write(std::string_view("three"));
    rounds.pass(20);
    EXPECT_EQ(calls.value(), before);
    pipe->readingEnd()->setReadabilityHandler({});
}

TEST(Streams, BytesThatAreNotTextFailWithTheConversionMessage) {
    const std::string message(shell::binaryToTextFailure);
    auto make = [](std::string_view bytes) {
        auto [writer, reader] = shell::streams();
        writer->write(std::as_bytes(std::span(bytes.data(), bytes.size())));
        writer->close();
        return reader;
    };
    EXPECT_EQ(conversionMessage([&] { make("ok \xFF")->readSome(); }), message);
    EXPECT_EQ(conversionMessage([&] { make("ok \xFF")->read(); }), message);
    EXPECT_EQ(conversionMessage([&] { textsOf(make("line\n\xFF")->lines()); }), message);
    std::string sink;
    EXPECT_EQ(conversionMessage([&] { make("\xC3")->writeTo(sink); }), message);

    // Each chunk is decoded alone: a character cut in two does not decode.
    const auto pipe = platform::Pipe::create();
    FileHandleStream reader(pipe->readingEnd());
    pipe->writingEnd()->write(std::string_view("\xC3"));
    EXPECT_EQ(conversionMessage([&] { reader.readSome(); }), message);
    pipe->writingEnd()->write(std::string_view("\xA9"));
    EXPECT_EQ(conversionMessage([&] { reader.readSome(); }), message);

    // The stream's encoding decides what is text.
    auto latin1 = make("caf\xE9");
    latin1->setEncoding(TextEncoding::isoLatin1());
    EXPECT_EQ(latin1->read(), "caf\xC3\xA9");
}

TEST(Streams, BadBytesAnywhereInALongChunkFailAndGoodOnesPass) {
    // ASCII is checked 64 bytes at a time before anything else: a byte that
    // is not ASCII must still be looked at, wherever it lies in the chunk.
    const std::string message(shell::binaryToTextFailure);
    const std::size_t offsets[] = {0, 63, 64, 127, 199};
    for (const std::size_t at : offsets) {
        std::string bad(200, 'a');
        bad[at] = '\xFF';
        std::string good(200, 'a');
        good.replace(std::min<std::size_t>(at, 198), 2, "\xC3\xA9");
        auto [writer, reader] = shell::streams();
        writer->write(std::as_bytes(std::span(bad.data(), bad.size())));
        EXPECT_EQ(conversionMessage([&] { reader->readSome(); }), message) << "offset " << at;
        writer->write(good);
        writer->close();
        EXPECT_EQ(reader->readSome(), good) << "offset " << at;
    }
}

TEST(Streams, ReadDataKeepsEveryByteOfOutputsOfAnySize) {
    // Sizes around the read buffer (64 KiB) and where the buffer starts to
    // grow by large steps (4 MiB); from a pipe fed in uneven pieces and from
    // a file whose size is known up front.
    const std::size_t sizes[] = {0, 65536, 65537, (4u << 20) + 1, (9u << 20) + 7};
    for (const std::size_t size : sizes) {
        platform::Bytes data(size);
        for (std::size_t i = 0; i < size; ++i)
            data[i] = static_cast<std::byte>((i * 7 + i / 251) & 0xFF);

        auto [writer, reader] = shell::streams();
        std::thread feeder([&, writer = writer] {
            std::span<const std::byte> rest(data);
            for (std::size_t piece = 1; !rest.empty(); piece = piece * 3 % 100003 + 1) {
                const std::size_t count = std::min(piece, rest.size());
                writer->write(rest.first(count));
                rest = rest.subspan(count);
            }
            writer->close();
        });
        const platform::Bytes fromPipe = reader->readData();
        feeder.join();
        EXPECT_TRUE(fromPipe == data) << size << " bytes through a pipe";

        FileHandleStream file(FileHandle::memoryFile(data));
        EXPECT_TRUE(file.readData() == data) << size << " bytes from a file";
    }
}

TEST(Streams, LinesOfALargeInputThroughAPipeAreTheLinesOfTheText) {
    // Lines far shorter and far longer than a chunk, and empty ones.
    std::string text = iotest::sampleText(3 << 20);
    text.insert(1000, std::string(300 * 1024, 'L'));
    text.insert(5000, "\n\n\n");
    text += '\n';
    std::vector<std::string> expected;
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find('\n', start);
        expected.push_back(text.substr(start, end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    auto [writer, reader] = shell::streams();
    std::thread feeder([&, writer = writer] {
        writer->write(text);
        writer->close();
    });
    const auto lines = textsOf(reader->lines());
    feeder.join();
    EXPECT_TRUE(lines == expected) << lines.size() << " lines, " << expected.size() << " expected";
}

TEST(Streams, TextThatCannotBeEncodedFailsWithTheConversionMessage) {
    const std::string message = "Could not convert text to binary data.";
    auto [writer, reader] = shell::streams();
    EXPECT_EQ(conversionMessage([&] { writer->write("not text \xFF"); }), message);
    writer->setEncoding(TextEncoding::isoLatin1());
    EXPECT_EQ(conversionMessage([&] { writer->print("price", "5 \xE2\x82\xAC"); }), message);
    writer->write("caf\xC3\xA9");
    writer->close();
    EXPECT_EQ(iotest::text(reader->readData()), "price caf\xE9");
}

TEST(Streams, StringOutputGetsEveryChunkReportsUndecodableOnesAndCarriesOn) {
    auto [errorWriter, errorReader] = shell::streams();
    auto previous = shell::mainContext().stderror();
    shell::mainContext().setStderror(errorWriter);

    const auto pipe = platform::Pipe::create();
    auto reader = std::make_shared<FileHandleStream>(pipe->readingEnd());
    std::mutex mutex;
    std::string received;
    long emptyCalls = 0;
    iotest::Counter bytes;
    reader->onStringOutput([&](const std::string& text) {
        std::lock_guard lock(mutex);
        emptyCalls += text.empty() ? 1 : 0;
        received += text;
        bytes.add(static_cast<long>(text.size()));
    });
    pipe->writingEnd()->write(std::string_view("\xFF\xFE"));
    // Read before the next write, so that they come as two chunks.
    for (int pending = 1;
         ::ioctl(pipe->readingEnd()->descriptor(), FIONREAD, &pending) == 0 && pending > 0;) {
        std::this_thread::yield();
    }
    const std::string data = iotest::sampleText(1024 * 1024);
    pipe->writingEnd()->write(std::string_view(data));
    pipe->writingEnd()->close();
    bytes.waitFor(static_cast<long>(data.size()));
    iotest::LoopRounds rounds;
    rounds.pass(10);  // the end of the pipe has been seen as well
    reader->filehandle()->setReadabilityHandler({});

    shell::mainContext().setStderror(previous);
    errorWriter->close();
    EXPECT_EQ(errorReader->read(), "Could not convert binary data to text.\n");
    std::lock_guard lock(mutex);
    EXPECT_TRUE(received == data);
    EXPECT_EQ(emptyCalls, 0);
}

TEST(Streams, StdoutStreamWritesThroughTheBufferedStandardOutput) {
    std::fflush(stdout);
    const int saved = ::dup(STDOUT_FILENO);
    const auto pipe = platform::Pipe::create();
    ::dup2(pipe->writingEnd()->descriptor(), STDOUT_FILENO);
    std::setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);

    shell::StdoutStream out;
    EXPECT_EQ(out.encoding(), TextEncoding::utf8());
    out.write("buffered ");
    out.write(iotest::bytes("direct "));  // straight to the descriptor
    out.close();                          // does nothing
    out.print("still", "open");
    std::fflush(stdout);

    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    pipe->writingEnd()->close();
    EXPECT_EQ(iotest::text(pipe->readingEnd()->readAll()), "direct buffered still open\n");
    EXPECT_NE(::fcntl(STDOUT_FILENO, F_GETFD), -1);
}

}  // namespace
