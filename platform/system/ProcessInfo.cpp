#include "platform/system/ProcessInfo.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>

extern char** environ;

namespace platform::processInfo {

Environment environment() {
    Environment result;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const auto equals = text.find('=');
        if (equals == std::string_view::npos)
            continue;
        result.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
    }
    return result;
}

std::vector<std::string> arguments() {
    std::ifstream file("/proc/self/cmdline", std::ios::binary);
    const std::string contents{std::istreambuf_iterator<char>(file),
                               std::istreambuf_iterator<char>()};
    // Each argument ends with a NUL byte.
    std::vector<std::string> result;
    std::size_t start = 0;
    while (start < contents.size()) {
        auto end = contents.find('\0', start);
        if (end == std::string::npos)
            end = contents.size();
        result.emplace_back(contents, start, end - start);
        start = end + 1;
    }
    return result;
}

std::string globallyUniqueString() {
    static std::atomic<unsigned long long> counter{0};
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0')
        std::snprintf(host, sizeof host, "host");
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    char text[400];
    std::snprintf(text, sizeof text, "%s-%ld-%llX-%llu", host, static_cast<long>(::getpid()),
                  static_cast<unsigned long long>(nanoseconds), counter.fetch_add(1) + 1);
    return text;
}

}  // namespace platform::processInfo
