#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "installer/Log.h"

namespace {

// Runs body with standard output sent into a real pipe and returns what it
// wrote there.
std::string captureStandardOutput(const std::function<void()>& body) {
    std::fflush(stdout);
    int saved = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
    dup2(fds[1], STDOUT_FILENO);
    close(fds[1]);
    std::string captured;
    std::thread reader([&] {
        char buffer[4096];
        ssize_t count;
        while ((count = read(fds[0], buffer, sizeof buffer)) > 0) {
            captured.append(buffer, static_cast<std::size_t>(count));
        }
    });
    body();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);  // closes the last writing end: the reader sees the end
    close(saved);
    reader.join();
    close(fds[0]);
    return captured;
}

TEST(Log, JoinsItemsWithOneBlankPerCall) {
    auto output = captureStandardOutput([] {
        installer::log({"Temporary directory is: ", "file:///tmp/A/"});
        installer::log({"Manifest URL is:", "https://h/abc/cv-latest-mac.json"});
        installer::log({"Cleaning up"});
        installer::log({"a", "", "b"});
        installer::log({"", "x"});
        installer::log({});
    });
    EXPECT_EQ(output,
              "Temporary directory is:  file:///tmp/A/\n"
              "Manifest URL is: https://h/abc/cv-latest-mac.json\n"
              "Cleaning up\n"
              "a  b\n"
              " x\n"
              "\n");
}

TEST(Log, LinesFromManyThreadsStayWhole) {
    constexpr int threadCount = 6;
    constexpr int linesPerThread = 300;
    auto output = captureStandardOutput([] {
        std::vector<std::thread> threads;
        for (int index = 0; index < threadCount; ++index) {
            threads.emplace_back([index] {
                std::string tag = "thread-" + std::to_string(index);
                std::string padding(200, static_cast<char>('a' + index));
                for (int line = 0; line < linesPerThread; ++line) {
                    installer::log({tag, padding, std::to_string(line)});
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
    });
    std::istringstream lines(output);
    std::string line;
    std::vector<int> nextLine(threadCount, 0);
    while (std::getline(lines, line)) {
        int index = line[7] - '0';
        ASSERT_GE(index, 0);
        ASSERT_LT(index, threadCount);
        std::string expected = "thread-" + std::to_string(index) + " " +
                               std::string(200, static_cast<char>('a' + index)) + " " +
                               std::to_string(nextLine[index]++);
        ASSERT_EQ(line, expected);
    }
    for (int count : nextLine) {
        EXPECT_EQ(count, linesPerThread);
    }
}

}  // namespace
