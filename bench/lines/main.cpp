// Line splitting throughput: 1 GiB of text (lines of 1 to 120 bytes, one in
// ten ending in CR LF) goes through a real pipe to each reader in turn:
//   lines() of a FileHandleStream, beside `wc -l` and std::getline,
// and, as floors for lines(), its chunks without splitting (readSome() plus
// one memchr per line feed) and plain read() calls with the same scan.
// Every reader gets the same pipe: its capacity is raised to 1 MiB before
// any reader sees it.
//
// Usage: bench_stream_lines [--results] [MiB [rounds [only]]]
//   MiB     input size, default 1024; rounds: default 5
//   only    run one reader: wc, lines, getline, readSome or raw
// --results adds the figures as tab-separated lines for bench/run:
//   RESULT <figure> <value> <unit> <baseline> <baseline value> [<target>]
// The exit status is 1 when the readers disagree about the lines.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchReport.h"
#include "platform/system/Pipe.h"
#include "platform/system/Process.h"
#include "shell/Stream.h"

namespace {

constexpr std::size_t blockSize = 64 * 1024 * 1024;
constexpr std::size_t pipeSize = 1024 * 1024;

struct Block {
    std::string text;
    unsigned long long lineFeeds = 0;
    // Line feeds directly after a carriage return: inside one chunk they do
    // not end a line for lines().
    unsigned long long carriageReturnLineFeeds = 0;
};

// One block of text that ends with a line feed, repeated to make the input.
Block makeBlock() {
    Block block;
    block.text.reserve(blockSize + 128);
    unsigned state = 2024;
    auto next = [&] {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    };
    while (block.text.size() < blockSize) {
        const std::size_t length = 1 + next() % 120;
        for (std::size_t i = 0; i < length; ++i)
            block.text += static_cast<char>(' ' + next() % 95);
        if (next() % 10 == 0) {
            block.text += '\r';
            ++block.carriageReturnLineFeeds;
        }
        block.text += '\n';
        ++block.lineFeeds;
    }
    return block;
}

struct Result {
    double seconds = 0;
    unsigned long long lines = 0;
};

// Feeds `repeat` copies of the block into a new pipe while `read` consumes
// its reading end; both sides are timed together.
Result run(const std::string& block, int repeat,
           const std::function<unsigned long long(const std::shared_ptr<platform::Pipe>&)>& read) {
    auto pipe = platform::Pipe::create();
    pipe->writingEnd()->reservePipeCapacity(pipeSize);
    const auto start = std::chrono::steady_clock::now();
    std::thread writer([&] {
        const auto bytes = std::as_bytes(std::span(block.data(), block.size()));
        for (int i = 0; i < repeat; ++i)
            pipe->writingEnd()->write(bytes);
        pipe->writingEnd()->close();
    });
    const unsigned long long lines = read(pipe);
    writer.join();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    return {elapsed.count(), lines};
}

unsigned long long viaLines(const std::shared_ptr<platform::Pipe>& pipe) {
    auto stream = std::make_shared<shell::FileHandleStream>(pipe->readingEnd());
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

unsigned long long countLineFeeds(const char* at, const char* const end) {
    unsigned long long count = 0;
    while ((at = static_cast<const char*>(std::memchr(at, '\n', end - at))) != nullptr) {
        ++count;
        ++at;
    }
    return count;
}

// The chunks lines() is made of, without splitting: the floor for lines().
unsigned long long viaReadSome(const std::shared_ptr<platform::Pipe>& pipe) {
    auto stream = std::make_shared<shell::FileHandleStream>(pipe->readingEnd());
    unsigned long long count = 0;
    while (auto chunk = stream->readSome())
        count += countLineFeeds(chunk->data(), chunk->data() + chunk->size());
    return count;
}

// The same scan over plain reads into one reused buffer: what the pipe and
// the scan cost without any stream.
unsigned long long viaRawReads(const std::shared_ptr<platform::Pipe>& pipe) {
    std::vector<std::byte> buffer(64 * 1024);
    unsigned long long count = 0;
    while (const std::size_t size = pipe->readingEnd()->read(buffer)) {
        const char* at = reinterpret_cast<const char*>(buffer.data());
        count += countLineFeeds(at, at + size);
    }
    return count;
}

unsigned long long viaWc(const std::shared_ptr<platform::Pipe>& pipe) {
    auto output = platform::Pipe::create();
    // wc gets the reading end; ours goes when it has it.
    auto process =
        platform::Process::create({.executable = "/usr/bin/wc",
                                   .arguments = {"-l"},
                                   .standardInput = pipe->readingEnd(),
                                   .standardOutput = output,
                                   .standardError = platform::FileHandle::standardError()});
    process->launch();
    pipe->readingEnd()->close();
    const auto data = output->readingEnd()->readAll();
    process->wait();
    const std::string text(reinterpret_cast<const char*>(data.data()), data.size());
    return std::strtoull(text.c_str(), nullptr, 10);
}

unsigned long long viaGetline(const std::shared_ptr<platform::Pipe>& pipe) {
    std::ifstream in("/proc/self/fd/" + std::to_string(pipe->readingEnd()->descriptor()));
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
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const std::string only = argc > 3 ? argv[3] : "";
    const int repeat = static_cast<int>(std::max<long>(1, mebibytes / 64));
    const Block block = makeBlock();
    const double total = static_cast<double>(block.text.size()) * repeat;

    struct Reader {
        const char* key;
        const char* name;
        unsigned long long (*read)(const std::shared_ptr<platform::Pipe>&);
        Result best{};
        bool agrees = true;
    };
    Reader readers[] = {
        {"wc", "wc -l", viaWc},
        {"lines", "lines()", viaLines},
        {"getline", "std::getline", viaGetline},
        {"readSome", "readSome() + memchr", viaReadSome},
        {"raw", "read() + memchr", viaRawReads},
    };
    const unsigned long long lineFeeds = block.lineFeeds * repeat;
    // lines() keeps CR LF inside one chunk together, but splits it where a
    // chunk boundary falls between the two; its count lies in this range.
    const unsigned long long fewestLines =
        (block.lineFeeds - block.carriageReturnLineFeeds) * repeat;

    const std::string loadBefore = bench::loadAverage();
    // The readers take turns, so that a busy moment of the machine hits all
    // of them; each keeps its best time.
    for (int round = 0; round < rounds; ++round) {
        for (auto& reader : readers) {
            if (!only.empty() && only != reader.key)
                continue;
            const Result result = run(block.text, repeat, reader.read);
            const bool isLines = reader.read == viaLines;
            reader.agrees &= isLines ? result.lines >= fewestLines && result.lines <= lineFeeds + 1
                                     : result.lines == lineFeeds;
            if (reader.best.seconds == 0 || result.seconds < reader.best.seconds)
                reader.best = result;
        }
    }

    std::printf("input: %.0f MiB through a pipe of %zu KiB, best of %d interleaved rounds\n",
                total / (1024 * 1024), pipeSize / 1024, rounds);
    std::printf("load average before: %s, after: %s\n", loadBefore.c_str(),
                bench::loadAverage().c_str());
    std::printf("%-22s %10s %12s %14s %12s\n", "reader", "seconds", "MiB/s", "lines", "vs wc -l");
    const double wcSeconds = readers[0].best.seconds;
    bool allAgree = true;
    for (const auto& reader : readers) {
        const Result& r = reader.best;
        if (r.seconds == 0)
            continue;
        allAgree &= reader.agrees;
        const double rate = total / (1024 * 1024) / r.seconds;
        std::printf("%-22s %10.3f %12.0f %14llu %11.2fx%s\n", reader.name, r.seconds, rate, r.lines,
                    wcSeconds > 0 ? wcSeconds / r.seconds : 0.0,
                    reader.agrees ? "" : "   WRONG LINE COUNT");
    }
    std::printf("(%llu line feeds, %llu of them after CR: lines() keeps CR LF in one line)\n",
                lineFeeds, block.carriageReturnLineFeeds * repeat);
    const Result& lines = readers[1].best;
    const Result& getline = readers[2].best;
    if (lines.seconds > 0 && wcSeconds > 0)
        std::printf("lines(): %.2fx wc -l", wcSeconds / lines.seconds);
    if (lines.seconds > 0 && getline.seconds > 0)
        std::printf(", %.2fx std::getline", getline.seconds / lines.seconds);
    if (lines.seconds > 0)
        std::printf("\n");

    const Result& raw = readers[4].best;
    if (lines.seconds > 0 && raw.seconds > 0)
        std::printf("lines(): %.2fx read() + memchr, the floor for a pipe (target >= 0.9x)\n",
                    raw.seconds / lines.seconds);
    if (results) {
        auto rate = [&](const Result& r) { return total / (1024 * 1024) / r.seconds; };
        if (lines.seconds > 0 && raw.seconds > 0)
            bench::printResult("lines() through a pipe", rate(lines), "MiB/s", "read() + memchr",
                               rate(raw), "ratio>=0.9");
        if (lines.seconds > 0 && wcSeconds > 0)
            bench::printResult("lines() through a pipe", rate(lines), "MiB/s", "wc -l",
                               rate(readers[0].best), "");
    }
    return allAgree ? 0 : 1;
}
