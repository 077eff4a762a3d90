#include "platform/system/DownloadFolder.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string_view>

#include "platform/system/ProcessInfo.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view key = "XDG_DOWNLOAD_DIR=";

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

// The value after "KEY=": quoted with backslash escapes as a shell reads it,
// or bare up to the first blank.
std::string valueOf(std::string_view text) {
    std::string value;
    if (text.starts_with('"')) {
        for (std::size_t i = 1; i < text.size() && text[i] != '"'; ++i) {
            if (text[i] == '\\' && i + 1 < text.size()) {
                ++i;
            }
            value += text[i];
        }
        return value;
    }
    return std::string(text.substr(0, text.find_first_of(" \t\r")));
}

fs::path expandHome(const std::string& value, const fs::path& home) {
    for (std::string_view prefix : {"$HOME", "${HOME}"}) {
        if (value == prefix) {
            return home;
        }
        if (value.starts_with(prefix) && value[prefix.size()] == '/') {
            return home / value.substr(prefix.size() + 1);
        }
    }
    return value;
}

// The XDG_DOWNLOAD_DIR value in the text of a user-dirs.dirs file, with the
// home folder put in; empty when there is no usable line.
fs::path downloadDirectoryFromUserDirs(const std::string& text, const fs::path& home) {
    fs::path found;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::string_view rest(line);
        rest.remove_prefix(std::min(rest.find_first_not_of(" \t"), rest.size()));
        if (!rest.starts_with(key)) {
            continue;
        }
        rest.remove_prefix(key.size());
        fs::path candidate = expandHome(valueOf(rest), home);
        if (candidate.is_absolute()) {
            found = candidate;  // the last one counts, as in a shell
        }
    }
    return found;
}

}  // namespace

fs::path downloadDirectory() {
    fs::path direct = environment("XDG_DOWNLOAD_DIR");
    if (direct.is_absolute()) {
        return direct;
    }
    const fs::path home = processInfo::homeDirectory();
    fs::path config = environment("XDG_CONFIG_HOME");
    if (!config.is_absolute()) {
        config = home / ".config";
    }
    std::ifstream file(config / "user-dirs.dirs", std::ios::binary);
    if (file) {
        std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        fs::path fromFile = downloadDirectoryFromUserDirs(text, home);
        if (!fromFile.empty()) {
            return fromFile;
        }
    }
    return home / "Downloads";
}

}  // namespace platform
