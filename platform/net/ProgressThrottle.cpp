#include "platform/net/ProgressThrottle.h"

namespace platform::net {

bool ProgressThrottle::shouldPost(double fraction, Clock::time_point now) {
    if (fraction >= 1.0 || fraction - lastPosted_ < minimumStep) {
        return false;
    }
    if (lastPostTime_ && now - *lastPostTime_ < minimumInterval) {
        return false;
    }
    lastPosted_ = fraction;
    lastPostTime_ = now;
    return true;
}

}  // namespace platform::net
