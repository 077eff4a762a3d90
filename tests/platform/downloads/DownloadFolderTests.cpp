#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/system/DownloadFolder.h"
#include "tests/support/Environment.h"
#include "tests/support/TemporaryDirectory.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ScopedEnvironmentVariable;

// "@" stands for the test's folder, which holds "home" and "config".
std::string withRoot(std::string text, const fs::path& root) {
    if (auto at = text.find('@'); at != std::string::npos) {
        text.replace(at, 1, root.string());
    }
    return text;
}

TEST(DownloadFolder, FollowsTheVariableThenTheUserDirsFileThenTheHomeFolder) {
    struct Case {
        const char* name;
        std::optional<std::string> variable;    // XDG_DOWNLOAD_DIR
        std::optional<std::string> configHome;  // XDG_CONFIG_HOME
        std::optional<std::string> userDirs;    // file in the config folder used
        std::string expected;
    };
    const std::string usual =
        "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
        "XDG_DOWNLOAD_DIR=\"$HOME/Fetched\"\n";
    const std::vector<Case> cases = {
        {"the variable first", "/srv/incoming", "@/config", usual, "/srv/incoming"},
        {"a relative variable is ignored", "incoming", "@/config", usual, "@/home/Fetched"},
        {"a relative config home means ~/.config", std::nullopt, "config", usual, "@/home/Fetched"},
        {"braces, comments, blanks, the last line wins", std::nullopt, "@/config",
         "# XDG_DOWNLOAD_DIR=\"/commented\"\n"
         "XDG_DOWNLOAD_DIR=\"/first\"\n"
         "  XDG_DOWNLOAD_DIR=\"${HOME}/Second\"\r\n",
         "@/home/Second"},
        {"escapes inside quotes", std::nullopt, "@/config",
         "XDG_DOWNLOAD_DIR=\"$HOME/My \\\"Files\\\" \\$HOME\"\n", "@/home/My \"Files\" $HOME"},
        {"a bare absolute value", std::nullopt, "@/config", "XDG_DOWNLOAD_DIR=/data/dl  # x\n",
         "/data/dl"},
        {"$HOME alone is the home folder", std::nullopt, "@/config", "XDG_DOWNLOAD_DIR=\"$HOME\"\n",
         "@/home"},
        {"$HOMEWARD is no home", std::nullopt, "@/config", "XDG_DOWNLOAD_DIR=\"$HOMEWARD/x\"\n",
         "@/home/Downloads"},
        {"no file", std::nullopt, "@/config", std::nullopt, "@/home/Downloads"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TemporaryDirectory dir;
        const fs::path home = dir.path() / "home";
        fs::create_directories(home / ".config");
        fs::create_directories(dir.path() / "config");
        if (c.userDirs) {
            const fs::path config = c.configHome && c.configHome->starts_with("@")
                                        ? dir.path() / "config"
                                        : home / ".config";
            std::ofstream(config / "user-dirs.dirs") << *c.userDirs;
        }
        auto rooted = [&](const std::optional<std::string>& value) {
            return value ? std::optional(withRoot(*value, dir.path())) : std::nullopt;
        };
        ScopedEnvironmentVariable homeVariable("HOME", home.string());
        ScopedEnvironmentVariable variable("XDG_DOWNLOAD_DIR", rooted(c.variable));
        ScopedEnvironmentVariable configHome("XDG_CONFIG_HOME", rooted(c.configHome));

        EXPECT_EQ(platform::downloadDirectory(), fs::path(withRoot(c.expected, dir.path())));
    }
}

}  // namespace
