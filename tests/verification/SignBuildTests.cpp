// The publisher's command, run as a publisher runs it: what it prints must be
// what the installer accepts.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "installer/verification/BuildVerification.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TemporaryDirectory.h"

namespace {

namespace fs = std::filesystem;
using installer::BuildVerification;
using installer::PublicKeySetting;
using testsupport::runProgram;

const std::string signBuild = CORVANTIS_SIGN_BUILD;

std::string capture(const std::string& text, const std::string& pattern) {
    std::smatch match;
    if (!std::regex_search(text, match, std::regex(pattern))) {
        ADD_FAILURE() << pattern << " not in:\n" << text;
        return {};
    }
    return match[1];
}

std::vector<std::byte> write(const fs::path& path, std::string_view content) {
    std::ofstream(path, std::ios::binary) << content;
    const auto* first = reinterpret_cast<const std::byte*>(content.data());
    return {first, first + content.size()};
}

class SignBuild : public ::testing::Test {
  protected:
    fs::path path(const char* name) const { return folder_.path() / name; }
    testsupport::TemporaryDirectory folder_{"sign-build"};
};

TEST_F(SignBuild, ItsFieldsAndKeyPassTheInstallersCheck) {
    const auto made = runProgram({signBuild, "--new-key", path("key.pem").string()});
    ASSERT_EQ(made.status, 0) << made.output;
    EXPECT_EQ(fs::status(path("key.pem")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    const std::string publicKey = capture(made.output, "CORVANTIS_PUBLIC_KEY=(\\S+)");
    EXPECT_EQ(capture(runProgram({signBuild, "--public-key", path("key.pem").string()}).output,
                      "CORVANTIS_PUBLIC_KEY=(\\S+)"),
              publicKey);

    const auto build = write(path("App.zip"), std::string(200'000, 'z') + "end");
    const auto human = runProgram({signBuild, path("key.pem").string(), path("App.zip").string()});
    const auto fields =
        runProgram({signBuild, "--fields", path("key.pem").string(), path("App.zip").string()});
    ASSERT_EQ(human.status, 0) << human.output;
    ASSERT_EQ(fields.status, 0) << fields.output;
    const std::string sha512 = capture(fields.output, R"re("sha512": "([^"]+)")re");
    const std::string signature = capture(fields.output, R"re("signature": "([^"]+)")re");
    EXPECT_EQ(capture(human.output, R"re("signature": "([^"]+)")re"), signature);
    EXPECT_EQ(capture(human.output, "CORVANTIS_PUBLIC_KEY=(\\S+)"), publicKey);

    const auto check = [&](const std::vector<std::byte>& bytes) {
        BuildVerification verification("u", sha512, signature,
                                       PublicKeySetting::ofString(publicKey));
        verification.update(bytes);
        return verification.finish();
    };
    EXPECT_EQ(check(build), std::nullopt);
    auto altered = build;
    altered.back() = std::byte{'E'};
    EXPECT_NE(check(altered), std::nullopt);
}

TEST_F(SignBuild, RefusesWhatItCannotUse) {
    ASSERT_EQ(runProgram({signBuild, "--new-key", path("key.pem").string()}).status, 0);
    const std::string key = testsupport::contentOf(path("key.pem"));
    write(path("empty.zip"), "");
    write(path("App.zip"), "build");
    ASSERT_EQ(runProgram({"openssl", "genpkey", "-algorithm", "EC", "-pkeyopt",
                          "ec_paramgen_curve:P-256", "-out", path("ec.pem").string()})
                  .status,
              0);
    struct Case {
        std::vector<std::string> arguments;
        int status;
    };
    const std::vector<Case> cases = {
        {{"--new-key", path("key.pem").string()}, 1},  // an existing key is kept
        {{path("key.pem").string(), path("empty.zip").string()}, 1},
        {{path("key.pem").string(), path("missing.zip").string()}, 1},
        {{path("App.zip").string(), path("App.zip").string()}, 1},  // not a key
        {{path("ec.pem").string(), path("App.zip").string()}, 1},   // not Ed25519
        {{"--public-key", path("missing.pem").string()}, 1},
        {{path("key.pem").string()}, 2},
        {{"--sign", path("key.pem").string(), path("App.zip").string()}, 2},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {signBuild};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        const auto result = runProgram(argv);
        EXPECT_EQ(result.status, c.status) << c.arguments.front();
        EXPECT_EQ(result.output, "") << c.arguments.front();
    }
    EXPECT_EQ(testsupport::contentOf(path("key.pem")), key);
}

}  // namespace
