#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "platform/system/UUID.h"

namespace {

TEST(UUID, EveryCallGivesANewUpperCaseVersionFourUUID) {
    const std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 10'000; ++i) {
        const std::string uuid = platform::makeUUIDString();
        EXPECT_TRUE(std::regex_match(uuid, form)) << uuid;
        EXPECT_TRUE(seen.insert(uuid).second) << uuid;
    }
}

}  // namespace
