#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/bundle/Bundle.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TemporaryDirectory.h"

namespace {

namespace fs = std::filesystem;
using platform::Bundle;

// Python's plistlib writes both forms from one description, so the XML and
// the binary bundles hold exactly the same settings.
const char* const writeSettings = R"(
import plistlib, sys
settings = {
    "Corvantis ID": "abc",
    "corvantis id": "lower case",
    "CFBundleName": "Demo",
    "Empty": "",
    "Unicode": "Gr\u00fc\u00dfe \u2713",
    "Number": 42,
    "Nested": {"Corvantis ID": "inner"},
    "Data": b"abc",
}
form = plistlib.FMT_BINARY if sys.argv[2] == "binary" else plistlib.FMT_XML
with open(sys.argv[1], "wb") as f:
    plistlib.dump(settings if sys.argv[3] == "full" else {}, f, fmt=form)
)";

class BundleTest : public ::testing::Test {
  protected:
    // NAME.app/Contents/Info.plist written by python3's plistlib.
    fs::path makeBundle(const std::string& name, const std::string& form,
                        const std::string& content = "full") {
        fs::path bundle = makeEmptyBundle(name);
        testsupport::ProgramResult result =
            testsupport::runProgram({"python3", "-c", writeSettings,
                                     (bundle / "Contents/Info.plist").string(), form, content});
        EXPECT_EQ(result.status, 0);
        return bundle;
    }

    fs::path makeEmptyBundle(const std::string& name) {
        fs::path bundle = directory_.path() / name;
        fs::create_directories(bundle / "Contents/MacOS");
        fs::create_directories(bundle / "Contents/Resources");
        return bundle;
    }

    testsupport::TemporaryDirectory directory_{"bundle-test"};
};

TEST_F(BundleTest, OnlyStringValuesAreStringsButEveryKeyIsThereInBothForms) {
    for (const std::string form : {"xml", "binary"}) {
        SCOPED_TRACE(form);
        Bundle bundle = Bundle::at(makeBundle(form + ".app", form));
        EXPECT_TRUE(bundle.hasSettings());
        struct Case {
            std::string key;
            std::optional<std::string> value;
            // Present with a value that is not a string.
            bool otherValue = false;
        };
        const Case cases[] = {
            {"Corvantis ID", "abc"},
            {"corvantis id", "lower case"},
            {"CFBundleName", "Demo"},
            {"Empty", ""},
            {"Unicode",
             "Gr\xC3\xBC\xC3\x9F"
             "e \xE2\x9C\x93"},
            {"Corvantis Id", std::nullopt},
            {"Corvantis ID ", std::nullopt},
            {"Number", std::nullopt, true},
            {"Nested", std::nullopt, true},
            {"Data", std::nullopt, true},
        };
        for (const Case& c : cases) {
            EXPECT_EQ(bundle.stringSetting(c.key), c.value) << c.key;
            EXPECT_EQ(bundle.hasSetting(c.key), c.value || c.otherValue) << c.key;
        }
    }
}

TEST_F(BundleTest, NoSettingsWithoutAReadableDictionaryWithEntries) {
    struct Case {
        std::string name;
        std::string info;
    };
    // The reader takes either form in one call, so one truncated list stands
    // for every text it cannot read; a missing or empty file reads as no
    // bytes, which the missing bundle below stands for.
    const Case written[] = {
        {"truncated-xml",
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
         "<key>Corvantis ID</key>\n<string>abc"},
        {"array",
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n"
         "<array><string>Corvantis ID</string></array>\n</plist>\n"},
    };
    for (const Case& c : written) {
        SCOPED_TRACE(c.name);
        const fs::path path = makeEmptyBundle(c.name + ".app");
        std::ofstream(path / "Contents/Info.plist", std::ios::binary) << c.info;
        Bundle bundle = Bundle::at(path);
        EXPECT_FALSE(bundle.hasSettings());
        EXPECT_EQ(bundle.stringSetting("Corvantis ID"), std::nullopt);
    }
    Bundle empty = Bundle::at(makeBundle("empty.app", "xml", "empty"));
    EXPECT_FALSE(empty.hasSettings());
    Bundle nowhere = Bundle::at(directory_.path() / "does-not-exist.app");
    EXPECT_FALSE(nowhere.hasSettings());
    EXPECT_EQ(nowhere.path(), directory_.path() / "does-not-exist.app");
}

TEST_F(BundleTest, ResourcesAreFoundOnlyWhenTheyExist) {
    fs::path path = makeEmptyBundle("Resources.app");
    std::ofstream(path / "Contents/Resources/Icon.icns") << "icon";
    std::ofstream(path / "Contents/Resources/Readme") << "text";
    Bundle bundle = Bundle::at(path);
    EXPECT_EQ(bundle.resource("Icon", ".icns"), path / "Contents/Resources/Icon.icns");
    EXPECT_EQ(bundle.resource("Readme", ""), path / "Contents/Resources/Readme");
    EXPECT_EQ(bundle.resource("Icon", "png"), std::nullopt);
}

std::string probe(const fs::path& executable) {
    testsupport::ProgramResult result = testsupport::runProgram({executable.string()});
    EXPECT_EQ(result.status, 0);
    return result.output;
}

TEST_F(BundleTest, TheMainBundleIsTheOneHoldingTheExecutable) {
    fs::path bundle = makeBundle("Probe.app", "binary");
    std::ofstream(bundle / "Contents/Resources/Icon.icns") << "icon";
    fs::path inside = bundle / "Contents/MacOS/Probe";
    fs::copy_file(MAIN_BUNDLE_PROBE, inside);
    EXPECT_EQ(probe(inside), bundle.string() + "\nsettings\nabc\n" +
                                 (bundle / "Contents/Resources/Icon.icns").string() + "\n");

    fs::path loose = directory_.path() / "loose" / "Probe";
    fs::create_directories(loose.parent_path());
    fs::copy_file(MAIN_BUNDLE_PROBE, loose);
    EXPECT_EQ(probe(loose), loose.parent_path().string() + "\nno settings\n<none>\n<none>\n");
}

}  // namespace
