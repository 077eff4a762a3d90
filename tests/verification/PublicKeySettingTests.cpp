#include "installer/verification/PublicKeySetting.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/TemporaryDirectory.h"

namespace {

namespace fs = std::filesystem;
using installer::PublicKeySetting;
using Kind = PublicKeySetting::Kind;

fs::path bundleWithSettings(const fs::path& folder, const std::string& settings) {
    const fs::path bundle = folder / "Written.app";
    fs::create_directories(bundle / "Contents");
    std::ofstream(bundle / "Contents/Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
        << settings << "</dict>\n</plist>\n";
    return bundle;
}

TEST(PublicKeySetting, ReadsWhatTheBundleHolds) {
    testsupport::TemporaryDirectory folder("public-key-setting");
    const fs::path built = CORVANTIS_TEST_BUNDLES;
    struct Case {
        const char* what;
        fs::path bundle;
        Kind kind;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"built with a key", built / "Keyed.app", Kind::string, CORVANTIS_TEST_PUBLIC_KEY},
        {"built with an empty key", built / "Unkeyed.app", Kind::absent, ""},
        {"a number",
         bundleWithSettings(folder.path() / "number",
                            "<key>Corvantis Public Key</key><integer>32</integer>\n"),
         Kind::notAString, ""},
        {"an empty string",
         bundleWithSettings(folder.path() / "empty",
                            "<key>Corvantis Public Key</key><string></string>\n"),
         Kind::string, ""},
    };
    for (const auto& c : cases) {
        const PublicKeySetting setting = PublicKeySetting::read(platform::Bundle::at(c.bundle));
        EXPECT_EQ(setting.kind, c.kind) << c.what;
        EXPECT_EQ(setting.text, c.text) << c.what;
    }
}

}  // namespace
