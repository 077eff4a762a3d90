#pragma once

#include <chrono>
#include <optional>

namespace platform::net {

// Decides when a transfer's fraction is shown: at most once a display frame,
// and never later than one frame after it changed, even when nothing follows
// the change (a server that pauses). A change that comes too soon after the
// last one shown is held and shown when its turn comes, unless a newer one
// replaces it first. 1.0 is never passed here: the end of a body is announced
// on its own, exactly once.
class ProgressThrottle {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration minimumInterval = std::chrono::milliseconds(16);

    // The fraction reached at now; returns it when it is to be shown at once,
    // otherwise holds it.
    std::optional<double> change(double fraction, Clock::time_point now);
    // The held fraction, once its turn has come by now; it counts as shown.
    std::optional<double> due(Clock::time_point now);
    // When the held fraction's turn comes; none while nothing is held.
    std::optional<Clock::time_point> deadline() const;

  private:
    std::optional<double> post(double fraction, Clock::time_point now);

    double lastShown_ = 0.0;
    std::optional<Clock::time_point> lastShownAt_;
    std::optional<double> held_;
};

}  // namespace platform::net
