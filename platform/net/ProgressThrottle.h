#pragma once

#include <chrono>
#include <optional>

namespace platform::net {

// Decides which changes of a transfer's fraction are worth showing: one that
// moved by at least a thousandth since the last one shown, and no more often
// than about once a display frame. 1.0 is never passed here: the end of a
// body is announced on its own, exactly once.
class ProgressThrottle {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr double minimumStep = 0.001;
    static constexpr Clock::duration minimumInterval = std::chrono::milliseconds(16);

    // Whether the fraction, reached at the given time, should be posted; when
    // it should, it counts as posted from now on.
    bool shouldPost(double fraction, Clock::time_point now);

  private:
    double lastPosted_ = 0.0;
    std::optional<Clock::time_point> lastPostTime_;
};

}  // namespace platform::net
