// Downloads one URL again and again through the platform's HTTPS session, in
// turn without a progress observer and with the installer's: each change
// hops synchronously to the Qt main thread and moves a real progress bar.
// Prints the median time of each and what the progress bar costs.
//
// usage: bench_install_progress URL [ROUNDS] [--results]
//   (QT_QPA_PLATFORM=offscreen works; --results adds a tab-separated RESULT
//   line: the time with the progress bar beside the time without)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <QApplication>
#include <QProgressBar>

#include "bench/BenchReport.h"
#include "installer/MainQueue.h"
#include "installer/engine/DownloadProgress.h"
#include "platform/net/Session.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Outcome {
    double seconds = 0;
    std::size_t bytes = 0;
    int hops = 0;
};

Outcome download(platform::net::Session& session, const std::string& url, QProgressBar* bar) {
    std::promise<std::size_t> received;
    std::size_t bytes = 0;
    int hops = 0;
    auto start = Clock::now();
    platform::net::Progress progress;
    if (bar != nullptr) {
        progress = [&hops, bar](double fraction) {
            ++hops;
            installer::MainQueue::shared().sync([&] {
                bar->setValue(
                    static_cast<int>(std::lround(installer::downloadProgressValue(fraction))));
            });
        };
    }
    // Streamed and dropped, as the installer streams its builds to a file.
    session.download(
        url, [&bytes](std::span<const std::byte> piece) { bytes += piece.size(); },
        [&](platform::net::DownloadOutcome outcome) {
            if (!outcome.response) {
                std::fprintf(stderr, "download failed: %s\n",
                             outcome.error ? outcome.error->what() : "refused");
                std::exit(1);
            }
            received.set_value(bytes);
        },
        std::move(progress));
    bytes = received.get_future().get();
    return {std::chrono::duration<double>(Clock::now() - start).count(), bytes, hops};
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> positional;
    bool results = false;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument == "--results") {
            results = true;
        } else {
            positional.push_back(argument);
        }
    }
    if (positional.empty()) {
        std::fprintf(stderr, "usage: %s URL [ROUNDS] [--results]\n", argv[0]);
        return 2;
    }
    int rounds = positional.size() > 1 ? std::max(1, std::atoi(positional[1].c_str())) : 5;
    QApplication application(argc, argv);
    installer::MainQueue::shared();
    QProgressBar bar;
    bar.setRange(0, 100);
    bar.show();

    std::vector<double> plain, observed;
    Outcome last;
    const std::string url = positional[0];
    platform::net::Session session;
    std::thread worker([&] {
        download(session, url, nullptr);  // warm-up: the file into the server's cache
        for (int round = 0; round < rounds; ++round) {
            plain.push_back(download(session, url, nullptr).seconds);
            last = download(session, url, &bar);
            observed.push_back(last.seconds);
        }
        installer::MainQueue::shared().sync([] { QCoreApplication::quit(); });
    });
    QApplication::exec();
    worker.join();

    double without = bench::median(plain), with = bench::median(observed);
    double megabytes = static_cast<double>(last.bytes) / (1024 * 1024);
    std::printf("download of %.0f MiB, median of %d rounds each\n", megabytes, rounds);
    std::printf("  %-34s %8.3f s  %7.1f MiB/s\n", "without progress", without, megabytes / without);
    std::printf("  %-34s %8.3f s  %7.1f MiB/s  (%d main-thread hops)\n",
                "with progress bar (main-thread hop)", with, megabytes / with, last.hops);
    std::printf("  progress costs %+.1f%%\n", (with / without - 1) * 100);
    if (results) {
        bench::printResult("download with progress bar", with, "s", "without progress", without,
                           "ratio<=1.05");
    }
    return 0;
}
