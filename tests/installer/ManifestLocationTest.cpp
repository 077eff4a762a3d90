#include <gtest/gtest.h>

#include <string>

#include "installer/engine/Format.h"
#include "installer/engine/ManifestLocation.h"

namespace {

using installer::format;
using installer::manifestTemplate;

TEST(ManifestLocation, OnlyProdExactlySelectsProduction) {
    struct Case {
        const char* environment;
        const char* expected;
    };
    const Case cases[] = {
        {"prod", "https://prod.test/%@/cv-latest-mac.json"},
        {"Prod", "https://dev.test/%@/cv-latest-mac.json"},
        {"production", "https://dev.test/%@/cv-latest-mac.json"},
        {"prod ", "https://dev.test/%@/cv-latest-mac.json"},
        {"", "https://dev.test/%@/cv-latest-mac.json"},
        {"dev", "https://dev.test/%@/cv-latest-mac.json"},
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(manifestTemplate(testCase.environment, "prod.test", "dev.test"),
                  testCase.expected)
            << '"' << testCase.environment << '"';
    }
}

TEST(ManifestLocation, ProductIDGoesInUnchanged) {
    // A placeholder inside the identifier is not filled again.
    const auto manifestURL = [](const char* productID) {
        return format(manifestTemplate("prod", "downloads.test:8443", "dev.test"), {productID});
    };
    EXPECT_EQ(manifestURL("50%@off"), "https://downloads.test:8443/50%@off/cv-latest-mac.json");
    EXPECT_EQ(manifestURL(" MixedCase "),
              "https://downloads.test:8443/ MixedCase /cv-latest-mac.json");
}

TEST(Format, FillsPlaceholdersInOrder) {
    EXPECT_EQ(format("Server returned HTTP status code %@ from %@", {"404", "https://h/x"}),
              "Server returned HTTP status code 404 from https://h/x");
    EXPECT_EQ(format("Downloading version %@\xe2\x80\xa6", {""}),
              "Downloading version \xe2\x80\xa6");
    EXPECT_EQ(format("%@ and %@", {"%@", "b"}), "%@ and b");
    EXPECT_EQ(format("%@%@", {"a", "b"}), "ab");
    EXPECT_EQ(format("no placeholder", {"unused"}), "no placeholder");
    EXPECT_EQ(format("%@ then %@", {"only"}), "only then %@");
    EXPECT_EQ(format("100%", {"x"}), "100%");
}

}  // namespace
