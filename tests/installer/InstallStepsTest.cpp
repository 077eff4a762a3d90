#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "installer/engine/AppName.h"
#include "installer/engine/DownloadProgress.h"
#include "installer/engine/ManualInstall.h"

namespace {

TEST(DownloadProgress, CoversThreeToNinetyThree) {
    const std::pair<double, double> cases[] = {{0.0, 3}, {0.5, 48}, {1.0, 93}, {0.25, 25.5}};
    for (auto [fraction, expected] : cases) {
        EXPECT_DOUBLE_EQ(installer::downloadProgressValue(fraction), expected) << fraction;
    }
}

TEST(AppName, FirstNameContainingDotAppInListingOrder) {
    struct Case {
        std::vector<std::string> names;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        // The archive itself counts when it comes first.
        {{"Sample.app.zip", "Sample.app"}, "Sample.app.zip"},
        {{"__MACOSX", "My.application", "Other.app"}, "My.application"},
        {{"Sample.APP", "Release", "app", ".ap"}, std::nullopt},
        {{}, std::nullopt},
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(installer::firstAppName(testCase.names), testCase.expected)
            << ::testing::PrintToString(testCase.names);
    }
}

TEST(ManualInstall, TheMessageNamesTheAppWithEveryDotAppRemoved) {
    const std::pair<const char*, const char*> cases[] = {
        {"A.app Helper.app", "A Helper"},
        // One pass: what the removal brings together stays.
        {"x..appapp", "x.app"},
        {"Plain", "Plain"},
    };
    for (auto [name, shownAs] : cases) {
        auto alert = installer::manualInstallAlert(name, 30);
        EXPECT_EQ(alert.messageText, std::string("You will need to manually move ") + shownAs +
                                         " to Applications folder.");
        // The informative text keeps the name as it is.
        EXPECT_NE(alert.informativeText.find(std::string("We will reveal ") + name + " in Finder."),
                  std::string::npos);
    }
}

}  // namespace
