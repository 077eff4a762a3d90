#include <gtest/gtest.h>

#include <vector>

#include "platform/net/ProgressThrottle.h"

namespace {

using platform::net::ProgressThrottle;
using std::chrono::milliseconds;

struct Change {
    double fraction;
    int atMilliseconds;
    bool posted;
};

TEST(ProgressThrottle, PostsOnlyVisibleStepsAtMostAboutOnceAFrameAndNeverTheEnd) {
    const std::vector<Change> sequences[] = {
        {
            {0.0005, 0, false},  // under a thousandth since the start
            {0.001, 0, true},
            {0.0015, 100, false},  // under a thousandth since the last post
            {0.002, 100, true},
            {0.5, 200, true},
        },
        {
            {0.1, 0, true},
            {0.2, 5, false},
            {0.3, 15, false},
            {0.4, 16, true},  // measured from the last post, not the last change
            {0.5, 20, false},
            {0.6, 40, true},
        },
        // The end is left to the final announcement.
        {{0.5, 0, true}, {1.0, 100, false}, {1.0, 200, false}},
    };
    for (const auto& changes : sequences) {
        ProgressThrottle throttle;
        const ProgressThrottle::Clock::time_point start{};
        for (const Change& c : changes) {
            EXPECT_EQ(throttle.shouldPost(c.fraction, start + milliseconds(c.atMilliseconds)),
                      c.posted)
                << c.fraction << " at " << c.atMilliseconds << " ms";
        }
    }
}

}  // namespace
