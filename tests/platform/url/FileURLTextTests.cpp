#include <gtest/gtest.h>

#include <filesystem>

#include "platform/system/FileURLText.h"

namespace {

TEST(FileURLText, EncodesThePathAndEndsADirectoryInASlash) {
    struct Case {
        std::filesystem::path path;
        bool isDirectory;
        std::string text;
    };
    const Case cases[] = {
        {"/tmp/ABC", true, "file:///tmp/ABC/"},
        {"/tmp/ABC/", false, "file:///tmp/ABC/"},
        {"/tmp/a b", false, "file:///tmp/a%20b"},
        {"/tmp/x#y?z%", false, "file:///tmp/x%23y%3Fz%25"},
        {"/tmp/\xC3\xA9t\xC3\xA9", false, "file:///tmp/%C3%A9t%C3%A9"},
        {"/tmp/-._~!$&'()*+,;=:@", false, "file:///tmp/-._~!$&'()*+,;=:@"},
        {"/", true, "file:///"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(platform::fileURLText(c.path, c.isDirectory), c.text);
    }
    // A relative path is taken from the current directory.
    EXPECT_EQ(platform::fileURLText("x", false),
              platform::fileURLText(std::filesystem::current_path() / "x", false));
}

}  // namespace
