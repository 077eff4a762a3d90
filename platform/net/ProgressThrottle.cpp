#include "platform/net/ProgressThrottle.h"

namespace platform::net {

std::optional<double> ProgressThrottle::change(double fraction, Clock::time_point now) {
    held_.reset();
    if (fraction == lastShown_) {
        return std::nullopt;
    }
    held_ = fraction;
    return due(now);
}

std::optional<double> ProgressThrottle::due(Clock::time_point now) {
    std::optional<Clock::time_point> turn = deadline();
    if (!turn || now < *turn) {
        return std::nullopt;
    }
    return post(*held_, now);
}

std::optional<ProgressThrottle::Clock::time_point> ProgressThrottle::deadline() const {
    if (!held_) {
        return std::nullopt;
    }
    // Nothing shown yet: due at once.
    return lastShownAt_ ? *lastShownAt_ + minimumInterval : Clock::time_point{};
}

std::optional<double> ProgressThrottle::post(double fraction, Clock::time_point now) {
    held_.reset();
    lastShown_ = fraction;
    lastShownAt_ = now;
    return fraction;
}

}  // namespace platform::net
