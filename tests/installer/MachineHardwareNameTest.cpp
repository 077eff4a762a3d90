#include <gtest/gtest.h>

#include <array>
#include <string>

#include "installer/engine/MachineHardwareName.h"
#include "tests/support/ChildProcess.h"

namespace {

using installer::hardwareNameFromField;

// A field of the size uname uses, zero-filled, holding the given bytes.
std::array<char, 65> field(std::string_view bytes) {
    std::array<char, 65> result{};
    bytes.copy(result.data(), bytes.size());
    return result;
}

TEST(MachineHardwareName, TrimsTrailingZerosOnly) {
    struct Case {
        std::string bytes;
        std::string expected;
    };
    const Case cases[] = {
        {"x86_64", "x86_64"},
        {std::string("ar\0m64", 6), std::string("ar\0m64", 6)},
        {"arm64 ", "arm64 "},
        {std::string(65, 'x'), std::string(65, 'x')},
        {"\xe9t\xe9", "\xc3\xa9t\xc3\xa9"},  // ISO-8859-1 bytes become UTF-8 text
        {"", std::string(65, '\0')},         // all zeros: every byte stays
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(hardwareNameFromField(field(testCase.bytes)), testCase.expected)
            << testCase.bytes;
    }
}

TEST(MachineHardwareName, ReadsThisMachine) {
    EXPECT_EQ(installer::machineHardwareName() + "\n",
              testsupport::runProgram({"uname", "-m"}).output);
}

}  // namespace
