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

void expectPosts(const std::vector<Change>& changes) {
    ProgressThrottle throttle;
    const ProgressThrottle::Clock::time_point start{};
    for (std::size_t i = 0; i < changes.size(); ++i) {
        const Change& c = changes[i];
        EXPECT_EQ(throttle.shouldPost(c.fraction, start + milliseconds(c.atMilliseconds)), c.posted)
            << "change " << i << ": " << c.fraction << " at " << c.atMilliseconds << " ms";
    }
}

TEST(ProgressThrottle, PostsOnlyVisibleSteps) {
    expectPosts({
        {0.0005, 0, false},  // under a thousandth since the start
        {0.001, 0, true},
        {0.0015, 100, false},  // under a thousandth since the last post
        {0.002, 100, true},
        {0.5, 200, true},
    });
}

TEST(ProgressThrottle, PostsAtMostAboutOnceAFrame) {
    expectPosts({
        {0.1, 0, true},
        {0.2, 5, false},
        {0.3, 15, false},
        {0.4, 16, true},  // measured from the last post, not the last change
        {0.5, 20, false},
        {0.6, 40, true},
    });
}

TEST(ProgressThrottle, LeavesTheEndToTheFinalAnnouncement) {
    expectPosts({
        {0.5, 0, true},
        {1.0, 100, false},
        {1.0, 200, false},
    });
}

}  // namespace
