#include <filesystem>
#include <fstream>
#include <functional>
#include <system_error>

#include <gtest/gtest.h>

#include "platform/system/Error.h"
#include "shell/Shell.h"
#include "tests/shell/ShellTestSupport.h"
#include "tests/support/Environment.h"
#include "tests/support/TemporaryDirectory.h"

using shell::FileError;
using shell_test::thrownBy;

namespace {

TEST(Files, WritingAppendsUnlessAskedToReplaceAndMakesWhatIsMissing) {
    testsupport::TemporaryDirectory dir;
    const std::string path = dir.path() / "log.txt";
    std::ofstream(path) << "old\n";
    for (const auto& [replace, expected] : {std::pair{false, "old\nnew\n"}, {true, "new\n"}}) {
        auto stream = shell::openWritable(path, replace);
        stream->write("new\n");
        stream->close();
        EXPECT_EQ(testsupport::contentOf(path), expected);
    }

    const std::string nested = dir.path() / "a/b/c/new.txt";
    auto stream = shell::openWritable(nested, false, platform::TextEncoding::isoLatin1());
    stream->print("caf\xC3\xA9");
    stream->close();
    EXPECT_EQ(testsupport::contentOf(nested), "caf\xE9\n");
}

TEST(Files, MissingFilesAreNotFoundWithTheirPath) {
    testsupport::TemporaryDirectory dir;
    const std::string missing = dir.path() / "missing.txt";
    const auto error = thrownBy<FileError>([&] { shell::openReadable(missing); });
    ASSERT_EQ(error, FileError::notFound(missing));
    EXPECT_EQ(std::string(error->what()), "Error: '" + missing + "' does not exist.");
    EXPECT_EQ(error->code(), std::errc::no_such_file_or_directory);

    EXPECT_EQ(thrownBy<FileError>([&] { shell::ensureFileExists(missing); }),
              FileError::notFound(missing));
    std::ofstream(missing) << "now here";
    EXPECT_FALSE(thrownBy<FileError>([&] { shell::ensureFileExists(missing); }));
}

TEST(Files, WhatExistsButCannotBeOpenedIsThePlatformsErrorNotNotFound) {
    testsupport::TemporaryDirectory dir;
    std::ofstream(dir.path() / "file") << "in the way";
    // A dangling link exists, yet opening it fails.
    std::filesystem::create_symlink(dir.path() / "nowhere", dir.path() / "link");
    const std::pair<std::function<void()>, int> cases[] = {
        {[&] { shell::openWritable(dir.path() / "file/inside.txt", false); }, ENOTDIR},
        {[&] { shell::openReadable(dir.path() / "link"); }, ENOENT},
    };
    // std::filesystem's errors and the file handle's are both std::system_error.
    for (const auto& [open, errnum] : cases) {
        try {
            open();
            ADD_FAILURE() << "opened";
        } catch (const FileError& error) {
            ADD_FAILURE() << error.what();
        } catch (const std::system_error& error) {
            EXPECT_EQ(error.code().value(), errnum);
        }
    }
    EXPECT_EQ(testsupport::contentOf(dir.path() / "file"), "in the way");

    // A directory opens; reading it is what fails.
    auto directory = shell::openReadable(dir.path().string());
    EXPECT_THROW(directory->read(), platform::SystemError);
}

TEST(Files, ReadingGivesTheFileInItsEncoding) {
    testsupport::TemporaryDirectory dir;
    std::ofstream(dir.path() / "latin1.txt") << "line one\ncaf\xE9";
    auto stream =
        shell::openReadable(dir.path() / "latin1.txt", platform::TextEncoding::isoLatin1());
    std::vector<std::string> lines;
    for (const auto& line : stream->lines())
        lines.push_back(line);
    EXPECT_EQ(lines, (std::vector<std::string>{"line one", "caf\xC3\xA9"}));

    const shell::FileURL url(dir.path() / "latin1.txt");
    EXPECT_THROW(shell::openReadable(url)->read(), shell::ConversionError);
}

TEST(Files, TildeAtTheStartMeansTheHomeDirectory) {
    testsupport::TemporaryDirectory dir;
    testsupport::ScopedEnvironmentVariable home("HOME", dir.path().string());
    const struct {
        const char* path;
        std::string expanded;
    } cases[] = {
        {"~", dir.path().string()}, {"~/notes.txt", dir.path() / "notes.txt"},
        {"~root/x", "/root/x"},     {"~no-such-user-here/x", "~no-such-user-here/x"},
        {"a~b/c", "a~b/c"},         {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(shell::expandTilde(c.path), c.expanded) << c.path;

    auto stream = shell::openWritable("~/sub/notes.txt");
    stream->write("at home");
    stream->close();
    EXPECT_EQ(testsupport::contentOf(dir.path() / "sub/notes.txt"), "at home");
    EXPECT_EQ(shell::openReadable("~/sub/notes.txt")->read(), "at home");
}

TEST(Files, RelativePathsAndFileURLs) {
    testsupport::TemporaryDirectory dir;
    const auto saved = std::filesystem::current_path();
    shell::mainContext().setCurrentdirectory(dir.path().string());
    // "~" inside a relative path is an ordinary character.
    auto stream = shell::openWritable("x~y/rel.txt");
    stream->write("relative");
    stream->close();
    shell::mainContext().setCurrentdirectory(saved.string());
    EXPECT_EQ(testsupport::contentOf(dir.path() / "x~y/rel.txt"), "relative");

    // Found by argument-dependent lookup, with no using-declaration.
    const shell::FileURL base(dir.path());
    const auto url = base + "with space.txt";
    auto byURL = shell::openWritable(url, true);
    byURL->write("by url");
    byURL->close();
    EXPECT_EQ(shell::openReadable(url)->read(), "by url");

    const struct {
        const char* component;
        std::filesystem::path path;
    } joins[] = {
        {"//a/b", dir.path() / "a" / "b"},  // stays below, never replaces
        {"~", dir.path() / "~"},
    };
    for (const auto& join : joins)
        EXPECT_EQ(base + join.component, shell::FileURL(join.path)) << join.component;
    // A location is used as it is: no home directory for "~".
    EXPECT_EQ(thrownBy<FileError>([] { shell::openReadable(shell::FileURL("~/nothing-here")); }),
              FileError::notFound("~/nothing-here"));
}

}  // namespace
