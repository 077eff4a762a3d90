#include <gtest/gtest.h>

#include <set>

#include "platform/system/UUID.h"

namespace {

TEST(UUID, IsAnUpperCaseVersionFourUUID) {
    for (int i = 0; i < 200; ++i) {
        std::string uuid = platform::makeUUIDString();
        ASSERT_EQ(uuid.size(), 36u) << uuid;
        for (std::size_t j = 0; j < uuid.size(); ++j) {
            if (j == 8 || j == 13 || j == 18 || j == 23) {
                EXPECT_EQ(uuid[j], '-') << uuid;
            } else {
                EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(uuid[j])) ||
                            (uuid[j] >= 'A' && uuid[j] <= 'F'))
                    << uuid;
            }
        }
        EXPECT_EQ(uuid[14], '4') << uuid;
        EXPECT_NE(std::string("89AB").find(uuid[19]), std::string::npos) << uuid;
    }
}

TEST(UUID, EveryCallGivesANewOne) {
    std::set<std::string> seen;
    for (int i = 0; i < 10'000; ++i) {
        EXPECT_TRUE(seen.insert(platform::makeUUIDString()).second);
    }
}

}  // namespace
