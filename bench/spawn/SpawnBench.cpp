// Starting processes: the command runner's captured run beside its floor, the
// bare system calls, from a small parent and from one that has touched 4 GiB;
// and the throughput of capturing a large output beside its floor, a plain
// read() loop into one growing buffer.
//
//   bench_spawn [--results] [runs [capture rounds]]   (defaults 2000 and 6)
//
// --results adds the figures as tab-separated lines for bench/run:
//   RESULT <figure> <value> <unit> <baseline> <baseline value> [<target>]

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "RawSpawn.h"
#include "bench/BenchReport.h"
#include "shell/Shell.h"

namespace {

using bench::loadAverage;
using bench::median;
using bench::printResult;
using Clock = std::chrono::steady_clock;

struct Medians {
    double runner;
    double raw;
    double emptyProgram;  // raw spawn of a static program that does nothing
};

template <class Operation>
double microseconds(Operation operation) {
    auto start = Clock::now();
    operation();
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// Median microseconds per call of runCaptured("/bin/true"), of the bare
// system calls, and of the bare calls starting a program that does nothing
// (the floor under any way of running a program), taken in turns so that a change in the machine's
// load hits all alike. The order of the turns changes from one round to the next, so that none
// of them always runs right after another (whose page-cache, TLB or scheduler state it might
// inherit).
Medians spawnMedians(int runs) {
    auto runner = [] {
        if (!shell::runCaptured("/bin/true").isSuccess()) {
            std::abort();
        }
    };
    auto raw = [] { rawSpawnCaptured("/bin/true"); };
    auto empty = [] { rawSpawnCaptured(EMPTY_PROGRAM_PATH); };
    void (*const steps[])() = {runner, raw, empty};
    for (int i = 0; i < 20; ++i) {
        for (const auto step : steps) {
            step();
        }
    }
    std::vector<double> times[3];
    for (int i = 0; i < runs; ++i) {
        for (int k = 0; k < 3; ++k) {
            const int step = (i + k) % 3;
            times[step].push_back(microseconds(steps[step]));
        }
    }
    return {median(times[0]), median(times[1]), median(times[2])};
}

double seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

Medians spawnFigures(int runs, bool results) {
    const std::string load = loadAverage();
    const auto medians = spawnMedians(runs);
    std::printf("runCaptured(\"/bin/true\"), median of %d runs (load average before: %s)\n", runs,
                load.c_str());
    std::printf("  posix_spawn + pipes + waitpid   %8.1f us\n", medians.raw);
    std::printf(
        "  runCaptured                     %8.1f us   %.3fx raw (target <= 1.03x), %+.1f us "
        "(target <= 10 us)\n",
        medians.runner, medians.runner / medians.raw, medians.runner - medians.raw);
    std::printf("  empty static program, raw       %8.1f us   the floor under any runner\n",
                medians.emptyProgram);
    if (results) {
        printResult("runCaptured(\"/bin/true\")", medians.runner, "us",
                    "posix_spawn + pipes + waitpid", medians.raw, "ratio<=1.03");
        printResult("runCaptured(\"/bin/true\")", medians.runner, "us",
                    "posix_spawn + pipes + waitpid", medians.raw, "diff<=10");
        printResult("raw spawn of an empty static program", medians.emptyProgram, "us",
                    "posix_spawn + pipes + waitpid", medians.raw, "");
    }
    return medians;
}

void captureFigures(bool results, int rounds) {
    constexpr std::size_t size = std::size_t{1} << 30;
    const auto file = std::filesystem::temp_directory_path() /
                      ("bench-spawn-" + std::to_string(getpid()) + ".bin");
    {
        std::vector<char> block(1 << 20);
        for (std::size_t i = 0; i < block.size(); ++i) {
            block[i] = static_cast<char>('a' + i % 26);
        }
        std::ofstream out(file, std::ios::binary);
        for (std::size_t written = 0; written < size; written += block.size()) {
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
    }
    const std::string pipeline = "cat '" + file.string() + "' | cat > /dev/null";
    shell::runCaptured("/bin/bash", "-c", pipeline);  // into the page cache

    const std::string loadBefore = loadAverage();
    double pipeSeconds = 1e9;
    double floorSeconds = 1e9;
    double captureSeconds = 1e9;
    // They take turns, so that a busy moment of the machine hits all alike.
    // The floor and the capture also swap places every round: memory freed
    // a while ago has been handed back to the host of this virtual machine
    // and costs far more to touch again than memory freed just before, so
    // whichever comes straight after the other's buffer was freed is
    // favoured; swapping gives each that place equally often.
    auto floorRound = [&] {
        // Its bytes, like the capture's, go after the clock has stopped.
        const auto start = Clock::now();
        const CapturedBytes floor = rawCaptureToMemory(file.string());
        floorSeconds = std::min(floorSeconds, seconds(start));
        return floor.size;
    };
    auto captureRound = [&] {
        const auto start = Clock::now();
        const auto run = shell::runCaptured("/bin/cat", file.string());
        captureSeconds = std::min(captureSeconds, seconds(start));
        return run.rawStdout().size();
    };
    for (int round = 0; round < rounds; ++round) {
        const auto start = Clock::now();
        shell::runCaptured("/bin/bash", "-c", pipeline);
        pipeSeconds = std::min(pipeSeconds, seconds(start));
        std::size_t floorBytes;
        std::size_t capturedBytes;
        if (round % 2 == 0) {
            floorBytes = floorRound();
            capturedBytes = captureRound();
        } else {
            capturedBytes = captureRound();
            floorBytes = floorRound();
        }
        if (capturedBytes != size || floorBytes != size) {
            std::fprintf(stderr, "captured %zu bytes, the floor %zu\n", capturedBytes, floorBytes);
        }
    }
    std::filesystem::remove(file);
    const double gib = static_cast<double>(size) / (1 << 30);
    std::printf(
        "capture of 1 GiB from cat, best of %d interleaved rounds (load average before: %s, "
        "after: %s)\n",
        rounds, loadBefore.c_str(), loadAverage().c_str());
    std::printf("  cat FILE | cat > /dev/null      %8.2f GiB/s   (for information)\n",
                gib / pipeSeconds);
    std::printf("  read() into one growing buffer  %8.2f GiB/s\n", gib / floorSeconds);
    std::printf(
        "  runCaptured(\"/bin/cat\", FILE)   %8.2f GiB/s   %.2fx the read() loop (target >= "
        "0.95x)\n",
        gib / captureSeconds, floorSeconds / captureSeconds);
    if (results) {
        printResult("runCaptured(\"/bin/cat\", 1 GiB file)", gib / captureSeconds, "GiB/s",
                    "read() into one growing buffer", gib / floorSeconds, "ratio>=0.95");
        printResult("runCaptured(\"/bin/cat\", 1 GiB file)", gib / captureSeconds, "GiB/s",
                    "cat FILE | cat > /dev/null", gib / pipeSeconds, "");
    }
}

}  // namespace

int main(int argc, char** argv) {
    const bool results = argc > 1 && std::string_view(argv[1]) == "--results";
    if (results) {
        ++argv;
        --argc;
    }
    const int runs = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int captureRounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 6;
    const auto small = spawnFigures(runs, results);

    captureFigures(results, captureRounds);

    constexpr std::size_t big = std::size_t{4} << 30;
    auto* memory = static_cast<char*>(std::malloc(big));
    if (memory == nullptr) {
        std::fprintf(stderr, "could not allocate 4 GiB\n");
        return 1;
    }
    std::memset(memory, 1, big);  // every page touched
    const auto large = spawnMedians(runs);
    std::printf("runCaptured(\"/bin/true\") from a parent that touched 4 GiB\n");
    std::printf("  posix_spawn + pipes + waitpid   %8.1f us   (small parent %.1f us)\n", large.raw,
                small.raw);
    std::printf("  runCaptured                     %8.1f us   %.3fx raw (target <= 1.03x)\n",
                large.runner, large.runner / large.raw);
    if (results) {
        printResult("runCaptured(\"/bin/true\"), 4 GiB parent", large.runner, "us",
                    "posix_spawn + pipes + waitpid, 4 GiB parent", large.raw, "ratio<=1.03");
    }
    volatile char keep = memory[big - 1];
    (void)keep;
    std::free(memory);
    return 0;
}
