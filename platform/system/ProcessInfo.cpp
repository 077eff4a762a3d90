#include "platform/system/ProcessInfo.h"

#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

extern char** environ;

namespace platform::processInfo {

namespace {

// The home directory of a user database entry, looked up by `find` (a
// getpw*_r call) into a buffer that grows until the entry fits.
template <class Find>
std::optional<std::filesystem::path> homeFromUserDatabase(Find find) {
    std::vector<char> buffer(4096);
    for (;;) {
        passwd entry{};
        passwd* found = nullptr;
        const int error = find(&entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (found == nullptr || found->pw_dir == nullptr)
            return std::nullopt;
        return std::filesystem::path(found->pw_dir);
    }
}

}  // namespace

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

std::string uniqueName() {
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

std::filesystem::path homeDirectory() {
    const char* value = std::getenv("HOME");
    if (value != nullptr && *value != '\0')
        return value;
    const auto home =
        homeFromUserDatabase([](passwd* entry, char* buffer, std::size_t size, passwd** found) {
            return ::getpwuid_r(::getuid(), entry, buffer, size, found);
        });
    return home.value_or("/");
}

std::optional<std::filesystem::path> homeDirectoryOf(std::string_view user) {
    const std::string name(user);
    return homeFromUserDatabase([&](passwd* entry, char* buffer, std::size_t size, passwd** found) {
        return ::getpwnam_r(name.c_str(), entry, buffer, size, found);
    });
}

}  // namespace platform::processInfo
