// Line splitting throughput: 1 GiB of text (lines of 1 to 120 bytes, some
// ending in CR LF) goes through a real pipe to each reader in turn:
//   lines() of a FileHandleStream, `wc -l`, and std::getline.
// Usage: bench_stream_lines [--results] [MiB [rounds [only]]]   (defaults 1024 and 3;
// only: wc, lines, getline, readSome or raw)
// --results adds the figures as tab-separated lines for bench/run:
//   RESULT <figure> <value> <unit> <baseline> <baseline value> [<target>]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/system/Pipe.h"
#include "platform/system/Process.h"
#include "shell/Stream.h"

namespace {

constexpr std::size_t blockSize = 64 * 1024 * 1024;
constexpr std::size_t pipeSize = 1024 * 1024;

// One block of text that ends with a line feed, repeated to make the input.
std::string makeBlock() {
    std::string block;
    block.reserve(blockSize + 128);
    unsigned state = 2024;
    auto next = [&] {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    };
    while (block.size() < blockSize) {
        const std::size_t length = 1 + next() % 120;
        for (std::size_t i = 0; i < length; ++i)
            block += static_cast<char>(' ' + next() % 95);
        if (next() % 10 == 0)
            block += '\r';
        block += '\n';
    }
    return block;
}

struct Result {
    double seconds;
    unsigned long long lines;
};

// Feeds `repeat` copies of the block into a new pipe while `read` consumes
// its reading end; both sides are timed together.
Result run(const std::string& block, int repeat,
           const std::function<unsigned long long(const std::shared_ptr<platform::Pipe>&)>& read) {
    auto pipe = platform::Pipe::create();
    pipe->fileHandleForWriting()->reservePipeCapacity(pipeSize);
    const auto start = std::chrono::steady_clock::now();
    std::thread writer([&] {
        const auto bytes = std::as_bytes(std::span(block.data(), block.size()));
        for (int i = 0; i < repeat; ++i)
            pipe->fileHandleForWriting()->write(bytes);
        pipe->fileHandleForWriting()->close();
    });
    const unsigned long long lines = read(pipe);
    writer.join();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    return {elapsed.count(), lines};
}

unsigned long long viaLines(const std::shared_ptr<platform::Pipe>& pipe) {
    auto stream = std::make_shared<shell::FileHandleStream>(pipe->fileHandleForReading());
    unsigned long long count = 0;
    std::size_t bytes = 0;
    for (const std::string& line : stream->lines()) {
        ++count;
        bytes += line.size();
    }
    // Keep the work observable.
    if (bytes == 0)
        std::fputs("", stderr);
    return count;
}

// The chunks lines() is made of, without splitting: the floor for lines().
unsigned long long viaReadSome(const std::shared_ptr<platform::Pipe>& pipe) {
    auto stream = std::make_shared<shell::FileHandleStream>(pipe->fileHandleForReading());
    unsigned long long count = 0;
    while (auto chunk = stream->readSome()) {
        const char* at = chunk->data();
        const char* const end = at + chunk->size();
        while ((at = static_cast<const char*>(std::memchr(at, '\n', end - at))) != nullptr) {
            ++count;
            ++at;
        }
    }
    return count;
}

// The same scan over plain reads into one reused buffer: what the pipe and
// the scan cost without any stream.
unsigned long long viaRawReads(const std::shared_ptr<platform::Pipe>& pipe) {
    std::vector<std::byte> buffer(64 * 1024);
    unsigned long long count = 0;
    while (const std::size_t size = pipe->fileHandleForReading()->read(buffer)) {
        const char* at = reinterpret_cast<const char*>(buffer.data());
        const char* const end = at + size;
        while ((at = static_cast<const char*>(std::memchr(at, '\n', end - at))) != nullptr) {
            ++count;
            ++at;
        }
    }
    return count;
}

unsigned long long viaWc(const std::shared_ptr<platform::Pipe>& pipe) {
    auto process = platform::Process::create();
    process->executable = "/usr/bin/wc";
    process->arguments = {"-l"};
    // wc gets the reading end; ours goes when it has it.
    process->standardInput = pipe->fileHandleForReading();
    auto output = platform::Pipe::create();
    process->standardOutput = output;
    process->standardError = platform::FileHandle::standardError();
    process->launch();
    pipe->fileHandleForReading()->close();
    const auto data = output->fileHandleForReading()->readDataToEndOfFile();
    process->waitUntilExit();
    const std::string text(reinterpret_cast<const char*>(data.data()), data.size());
    return std::strtoull(text.c_str(), nullptr, 10);
}

unsigned long long viaGetline(const std::shared_ptr<platform::Pipe>& pipe) {
    std::ifstream in("/proc/self/fd/" +
                     std::to_string(pipe->fileHandleForReading()->fileDescriptor()));
    unsigned long long count = 0;
    std::string line;
    while (std::getline(in, line))
        ++count;
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    const bool results = argc > 1 && std::strcmp(argv[1], "--results") == 0;
    if (results) {
        ++argv;
        --argc;
    }
    const long mebibytes = argc > 1 ? std::atol(argv[1]) : 1024;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const std::string only = argc > 3 ? argv[3] : "";
    const int repeat = static_cast<int>(std::max<long>(1, mebibytes / 64));
    const std::string block = makeBlock();
    const double total = static_cast<double>(block.size()) * repeat;

    struct Reader {
        const char* key;
        const char* name;
        unsigned long long (*read)(const std::shared_ptr<platform::Pipe>&);
        Result best{0, 0};
    };
    Reader readers[] = {
        {"wc", "wc -l", viaWc},
        {"lines", "lines()", viaLines},
        {"getline", "std::getline", viaGetline},
        {"readSome", "readSome() + memchr", viaReadSome},
        {"raw", "read() + memchr", viaRawReads},
    };
    // The readers take turns, so that a busy moment of the machine hits all
    // of them; each keeps its best time.
    for (int round = 0; round < rounds; ++round) {
        for (auto& reader : readers) {
            if (!only.empty() && only != reader.key)
                continue;
            const Result result = run(block, repeat, reader.read);
            if (reader.best.seconds == 0 || result.seconds < reader.best.seconds)
                reader.best = result;
        }
    }

    std::printf("input: %.0f MiB through a pipe of %zu KiB, best of %d rounds\n",
                total / (1024 * 1024), pipeSize / 1024, rounds);
    std::printf("%-22s %10s %12s %14s %12s\n", "reader", "seconds", "MiB/s", "lines", "vs wc -l");
    const double wcSeconds = readers[0].best.seconds;
    for (const auto& reader : readers) {
        const Result& r = reader.best;
        if (r.seconds == 0)
            continue;
        const double rate = total / (1024 * 1024) / r.seconds;
        std::printf("%-22s %10.3f %12.0f %14llu %11.2fx\n", reader.name, r.seconds, rate, r.lines,
                    wcSeconds > 0 ? wcSeconds / r.seconds : 0.0);
    }
    std::printf("(lines() keeps CR LF inside one line, so it counts fewer lines than wc -l)\n");
    for (const auto& reader : readers) {
        if (results && reader.best.seconds > 0 && wcSeconds > 0 && reader.read != viaWc) {
            std::printf("RESULT\t%s through a pipe\t%.1f\tMiB/s\twc -l\t%.1f\t\n", reader.name,
                        total / (1024 * 1024) / reader.best.seconds,
                        total / (1024 * 1024) / wcSeconds);
        }
    }
    return 0;
}
