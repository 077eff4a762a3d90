#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "installer/safety/ArtifactPath.h"

namespace {

using installer::safety::checkArtifactPath;

const std::string workingDirectory = "/tmp/0B3C1D2E-AAAA-4BBB-8CCC-123456789ABC/";
const std::string tail =
    "; a build's path must name a file inside the working directory " + workingDirectory + ".";

TEST(ArtifactPath, RefusesPathsThatLeaveOrNameTheWorkingDirectory) {
    struct Case {
        std::string path;
        std::string message;  // empty: accepted
    };
    const std::vector<Case> cases = {
        {"Foo.zip", ""},
        {"Foo 1.2 (arm64).dmg", ""},
        {"./Foo.zip", ""},
        {"..Foo.zip", ""},
        {"~/Foo.zip", ""},
        {"nested/Foo.zip", ""},  // inside; writing it fails later, as before
        {"nested/", ""},
        {"../Foo.zip", "The path \"../Foo.zip\" in the manifest contains a \"..\" component"},
        {"..", "The path \"..\" in the manifest contains a \"..\" component"},
        {"a/../Foo.zip", "The path \"a/../Foo.zip\" in the manifest contains a \"..\" component"},
        {"/Applications/Foo.app", "The path \"/Applications/Foo.app\" in the manifest is absolute"},
        {"", "The path \"\" in the manifest is empty"},
        {".", "The path \".\" in the manifest names the working directory itself"},
        {"./", "The path \"./\" in the manifest names the working directory itself"},
        {std::string("Foo.zip\0/../../x", 16),
         "The path \"Foo.zip\\0/../../x\" in the manifest contains a NUL character"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        auto refusal = checkArtifactPath(workingDirectory, c.path);
        if (c.message.empty()) {
            EXPECT_EQ(refusal, std::nullopt);
        } else {
            EXPECT_EQ(refusal, c.message + tail);
        }
    }
}

}  // namespace
