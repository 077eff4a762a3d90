// Lines of a large text file: lazyLines() over 64 KiB chunks, beside
// std::getline and `wc -l` on the same file.
//
// Usage: bench_lines [--results] [MiB, default 1024] [longest line in bytes, default 120]
//                    [file to read instead of a generated one]
//
// --results adds the figures as tab-separated lines for bench/run:
//   RESULT <figure> <value> <unit> <baseline> <baseline value> [<target>]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "shell/LazySplit.h"

namespace {

using Clock = std::chrono::steady_clock;

void writeText(const std::string& path, std::size_t bytes, std::size_t longest) {
    std::ofstream out(path, std::ios::binary);
    std::mt19937 random(7);
    std::string line;
    std::size_t written = 0;
    while (written < bytes) {
        line.assign(random() % (longest + 1), 'x');
        for (auto& c : line) {
            c = static_cast<char>('a' + random() % 26);
        }
        line += '\n';
        out << line;
        written += line.size();
    }
}

struct Result {
    std::size_t lines = 0;
    std::size_t bytes = 0;
    double seconds = 0;
};

// Best of three runs: the machine is shared, and the fastest run is the one
// least disturbed by others.
template <class F>
Result timed(F&& f) {
    Result best;
    for (int run = 0; run < 3; ++run) {
        const auto start = Clock::now();
        Result r = f();
        r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (run == 0 || r.seconds < best.seconds) {
            best = r;
        }
    }
    return best;
}

Result viaLazyLines(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    std::setvbuf(file, nullptr, _IONBF, 0);
    Result r;
    for (const std::string& line : shell::lazyLines([file]() -> std::optional<std::string> {
             std::string chunk(64 * 1024, '\0');
             const std::size_t n = std::fread(chunk.data(), 1, chunk.size(), file);
             if (n == 0) {
                 return std::nullopt;
             }
             chunk.resize(n);
             return chunk;
         })) {
        ++r.lines;
        r.bytes += line.size();
    }
    std::fclose(file);
    return r;
}

Result viaGetline(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    Result r;
    std::string line;
    while (std::getline(in, line)) {
        ++r.lines;
        r.bytes += line.size();
    }
    return r;
}

Result viaWc(const std::string& path) {
    Result r;
    const std::string command = "wc -l < '" + path + "'";
    std::FILE* pipe = popen(command.c_str(), "r");
    unsigned long long count = 0;
    if (std::fscanf(pipe, "%llu", &count) != 1) {
        count = 0;
    }
    pclose(pipe);
    r.lines = count;
    return r;
}

void report(const char* name, const Result& r, std::size_t fileBytes) {
    std::printf("%-22s %10zu lines %8.3f s %8.0f MiB/s\n", name, r.lines, r.seconds,
                static_cast<double>(fileBytes) / (1024.0 * 1024.0) / r.seconds);
}

}  // namespace

int main(int argc, char** argv) {
    const bool results = argc > 1 && std::string_view(argv[1]) == "--results";
    if (results) {
        ++argv;
        --argc;
    }
    const std::size_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    const std::size_t longest = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 120;
    const bool own = argc <= 3;
    const std::string path =
        own ? "/tmp/bench_lines." + std::to_string(std::random_device()()) + ".txt" : argv[3];
    if (own) {
        writeText(path, mib * 1024 * 1024, longest);
    }
    std::ifstream probe(path, std::ios::binary | std::ios::ate);
    const auto fileBytes = static_cast<std::size_t>(probe.tellg());

    viaWc(path);  // warm the page cache
    const Result wc = timed([&] { return viaWc(path); });
    const Result getline = timed([&] { return viaGetline(path); });
    const Result lazy = timed([&] { return viaLazyLines(path); });
    if (own) {
        std::printf("%zu MiB of text, lines of 0 to %zu bytes\n", fileBytes >> 20, longest);
    } else {
        std::printf("%zu MiB of text from %s\n", fileBytes >> 20, path.c_str());
    }
    report("wc -l", wc, fileBytes);
    report("std::getline", getline, fileBytes);
    report("shell::lazyLines", lazy, fileBytes);
    std::printf("lazyLines / getline: %.2fx, lazyLines / wc -l: %.2f\n",
                getline.seconds / lazy.seconds, wc.seconds / lazy.seconds);
    if (results) {
        const double mebibytes = static_cast<double>(fileBytes) / (1024.0 * 1024.0);
        for (const auto& [baseline, r] : {std::pair{"std::getline", getline}, {"wc -l", wc}}) {
            std::printf("RESULT\tshell::lazyLines of a file\t%.1f\tMiB/s\t%s\t%.1f\t\n",
                        mebibytes / lazy.seconds, baseline, mebibytes / r.seconds);
        }
    }
    if (own) {
        std::remove(path.c_str());
    }
    // A text that ends with a line feed has one more (empty) line for
    // lazyLines than for getline.
    const bool same = lazy.bytes == getline.bytes &&
                      (lazy.lines == getline.lines || lazy.lines == getline.lines + 1);
    return same ? 0 : 1;
}
