#include <gtest/gtest.h>

#include <set>

#include "platform/system/UUID.h"

namespace {

TEST(UUID, EveryCallGivesANewUpperCaseVersionFourUUID) {
    std::set<std::string> seen;
    for (int i = 0; i < 10'000; ++i) {
        const std::string uuid = platform::makeUUIDString();
        EXPECT_TRUE(seen.insert(uuid).second) << uuid;
        ASSERT_EQ(uuid.size(), 36u) << uuid;
        for (std::size_t j = 0; j < uuid.size(); ++j) {
            const bool dash = j == 8 || j == 13 || j == 18 || j == 23;
            ASSERT_EQ(uuid[j] == '-', dash) << uuid;
            ASSERT_TRUE(dash || std::isdigit(static_cast<unsigned char>(uuid[j])) ||
                        (uuid[j] >= 'A' && uuid[j] <= 'F'))
                << uuid;
        }
        ASSERT_EQ(uuid[14], '4') << uuid;
        ASSERT_NE(std::string("89AB").find(uuid[19]), std::string::npos) << uuid;
    }
}

}  // namespace
