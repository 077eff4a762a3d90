#include "manifest/UpdateManifest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using manifest::Artifact;
using manifest::Artifacts;
using manifest::DecodingError;
using manifest::UpdateManifest;

std::string describeFailure(std::string_view body) {
    try {
        manifest::decodeManifest(body);
    } catch (const DecodingError& e) {
        return e.what();
    }
    return "(decoded)";
}

TEST(ManifestDecoding, AcceptsDocumentsWithinTheRules) {
    struct Case {
        const char* what;
        std::string body;
        UpdateManifest expected;
    };
    const std::vector<Case> cases = {
        {"null format is absent",
         R"({"artifacts": {"dmg": null, "zip": {}}, "createdAt": "", "version": ""})",
         {{std::nullopt, Artifacts{}}, "", ""}},
        {"null members are absent, and the texts of digest and signature are not checked",
         R"({"artifacts": {"dmg": {"ia32": {"path": null, "url": null, "sha512": null,
             "signature": "not base64!"}, "arm64": {"url": "u", "sha512": "", "signature": null}}},
             "createdAt": "c", "version": "v"})",
         {{Artifacts{Artifact{std::nullopt, std::nullopt, std::nullopt, "not base64!"},
                     std::nullopt, Artifact{std::nullopt, "u", "", std::nullopt}},
           std::nullopt},
          "c",
          "v"}},
        {"unknown members are ignored at every level",
         R"({"releaseNotes": "fixes", "artifacts": {"pkg": 1, "zip": {"riscv": [],
             "ia32": {"path": "p", "url": "u", "sha256": 5}}}, "createdAt": "c", "version": "v"})",
         {{std::nullopt, Artifacts{Artifact{"p", "u"}, std::nullopt, std::nullopt}}, "c", "v"}},
        {"strings are not checked",
         R"({"artifacts": {"zip": {"x64": {"path": "../x", "url": ""}}}, "createdAt": "yesterday",
             "version": "\u00e9"})",
         {{std::nullopt, Artifacts{std::nullopt, Artifact{"../x", ""}, std::nullopt}},
          "yesterday",
          "\xC3\xA9"}},
        {"empty artifacts object, after a byte order mark and white space",
         "\xEF\xBB\xBF \n{\"artifacts\":{},\"createdAt\":\"c\",\"version\":\"v\"}\n",
         {{}, "c", "v"}},
    };
    for (const auto& c : cases) {
        try {
            EXPECT_EQ(manifest::decodeManifest(c.body), c.expected) << c.what;
        } catch (const DecodingError& e) {
            ADD_FAILURE() << c.what << ": " << e.what();
        }
    }
}

TEST(ManifestDecoding, RejectsWholeDocumentsAndSaysWhereAndWhy) {
    struct Case {
        std::string body;
        std::string description;
    };
    const std::vector<Case> cases = {
        {R"({"artifacts": {}, "version": "v"})", R"(The key "createdAt" is missing.)"},
        {R"({"artifacts": {}, "createdAt": null, "version": "v"})",
         R"(The value at "createdAt" is null, not a string.)"},
        {R"({"artifacts": {}, "createdAt": "c"})", R"(The key "version" is missing.)"},
        {R"({"artifacts": {}, "createdAt": "c", "version": 2})",
         R"(The value at "version" is a number, not a string.)"},
        {R"({"createdAt": "c", "version": "v"})", R"(The key "artifacts" is missing.)"},
        {R"({"artifacts": null, "createdAt": "c", "version": "v"})",
         R"(The value at "artifacts" is null, not an object.)"},
        {R"({"artifacts": {"dmg": {"arm64": true}}, "createdAt": "c", "version": "v"})",
         R"(The value at "artifacts.dmg.arm64" is a boolean, not an object.)"},
        {R"({"artifacts": {"zip": {"x64": {"url": 5}}}, "createdAt": "c", "version": "v"})",
         R"(The value at "artifacts.zip.x64.url" is a number, not a string.)"},
        {R"({"artifacts": {"zip": {"ia32": {"path": {}}}}, "createdAt": "c", "version": "v"})",
         R"(The value at "artifacts.zip.ia32.path" is an object, not a string.)"},
        // Digest and signature are strings wherever they stand, also in an
        // entry no machine would choose.
        {R"({"artifacts": {"zip": {"x64": {"url": "u", "sha512": 5}}}, "createdAt": "c",
             "version": "v"})",
         R"(The value at "artifacts.zip.x64.sha512" is a number, not a string.)"},
        {R"({"artifacts": {"dmg": {"ia32": {"signature": ["c2ln"]}}}, "createdAt": "c",
             "version": "v"})",
         R"(The value at "artifacts.dmg.ia32.signature" is an array, not a string.)"},
        // Keys are case-sensitive: a capitalised key leaves the member missing.
        {R"({"Artifacts": {}, "createdAt": "c", "version": "v"})",
         R"(The key "artifacts" is missing.)"},
        // Members are checked in order: artifacts before createdAt.
        {R"({"artifacts": {"zip": "x"}})",
         R"(The value at "artifacts.zip" is a string, not an object.)"},
        // Deep nesting is not a stack hazard.
        {std::string(100000, '[') + std::string(100000, ']'),
         "The top-level value is an array, not an object."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(describeFailure(c.body), c.description) << c.body;
    }
}

TEST(ManifestDecoding, MalformedInputIsADecodingError) {
    const std::vector<std::string> bodies = {
        "",
        R"({"artifacts": {}, "createdAt": "c", "version": "v"}})",               // trailing garbage
        "{\"artifacts\": {}, \"createdAt\": \"\xC3\x28\", \"version\": \"v\"}",  // bad UTF-8
        "{\"artifacts\": {}, \"createdAt\": 1e999, \"version\": \"v\"}",
        std::string(100000, '['),
    };
    for (const auto& body : bodies) {
        const std::string description = describeFailure(body);
        EXPECT_EQ(description.rfind("The data is not valid JSON: ", 0), 0u)
            << testing::PrintToString(body.substr(0, 60)) << " -> " << description;
        for (const char c : description) {
            EXPECT_TRUE(c >= 0x20 && c < 0x7F) << description;
        }
    }
}

TEST(ManifestEncoding, WritesTheSameKeysAndLeavesAbsentMembersOut) {
    UpdateManifest m;
    m.version = "3.1";
    m.createdAt = "2024-06-01T00:00:00Z";
    m.artifacts.zip = Artifacts{std::nullopt, Artifact{"A.zip", std::nullopt},
                                Artifact{std::nullopt, std::nullopt, std::nullopt, "c2ln"}};
    EXPECT_EQ(manifest::encodeManifest(m),
              R"({"artifacts":{"zip":{"arm64":{"signature":"c2ln"},"x64":{"path":"A.zip"}}},)"
              R"("createdAt":"2024-06-01T00:00:00Z","version":"3.1"})");
}

TEST(ManifestEncoding, RoundTrips) {
    const Artifact full{"App.zip", "https://example.com/App.zip", "ZGlnZXN0", "c2lnbmF0dXJl"};
    std::vector<UpdateManifest> manifests = {
        {{Artifacts{full, full, full}, Artifacts{full, full, full}}, "c", "v"},
        {{std::nullopt, Artifacts{Artifact{}, Artifact{std::nullopt, std::nullopt, ""},
                                  Artifact{std::nullopt, "", std::nullopt, ""}}},
         "\"quoted\" \\ \n\t",
         "\xC3\xA9\xF0\x9F\x98\x80"},
    };
    for (const auto& m : manifests) {
        const std::string text = manifest::encodeManifest(m);
        EXPECT_EQ(manifest::decodeManifest(text), m) << text;
    }
}

}  // namespace
