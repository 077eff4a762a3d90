#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "platform/net/ProgressThrottle.h"

namespace {

using platform::net::ProgressThrottle;
using std::chrono::milliseconds;

// A change (fraction set) or a look at what is due (fraction none), at a
// time, and what is shown then.
struct Step {
    std::optional<double> fraction;
    int atMilliseconds;
    std::optional<double> shown;
    std::optional<int> deadlineAfter;  // the held fraction's turn, when one is held
};

TEST(ProgressThrottle, ShowsAtMostOnceAFrameAndEveryChangeWithinOne) {
    const std::vector<Step> sequences[] = {
        {
            {0.1, 0, 0.1, std::nullopt},  // the first change shows at once
            {0.2, 5, std::nullopt, 16},   // too soon: held for the frame's end
            {0.3, 10, std::nullopt, 16},  // replaces the held one
            {std::nullopt, 15, std::nullopt, 16},
            {std::nullopt, 16, 0.3, std::nullopt},  // a pause: shown when its turn comes
            {std::nullopt, 100, std::nullopt, std::nullopt},
        },
        {
            {0.1, 0, 0.1, std::nullopt},
            {0.4, 16, 0.4, std::nullopt},  // measured from the last one shown
            {0.5, 20, std::nullopt, 32},
            {0.6, 40, 0.6, std::nullopt},  // a later change takes the held one's turn
            {std::nullopt, 60, std::nullopt, std::nullopt},
        },
        {
            {0.5, 0, 0.5, std::nullopt},
            {0.5, 30, std::nullopt, std::nullopt},  // no change, nothing to show
            {0.0005, 31, 0.0005, std::nullopt},     // however small the change
        },
    };
    for (const auto& steps : sequences) {
        ProgressThrottle throttle;
        const ProgressThrottle::Clock::time_point start{};
        for (const Step& s : steps) {
            SCOPED_TRACE(testing::Message()
                         << s.fraction.value_or(-1) << " at " << s.atMilliseconds << " ms");
            auto now = start + milliseconds(s.atMilliseconds);
            EXPECT_EQ(s.fraction ? throttle.change(*s.fraction, now) : throttle.due(now), s.shown);
            std::optional<ProgressThrottle::Clock::time_point> deadline;
            if (s.deadlineAfter) {
                deadline = start + milliseconds(*s.deadlineAfter);
            }
            EXPECT_EQ(throttle.deadline(), deadline);
        }
    }
}

}  // namespace
