#include "printfilter/CancelledWait.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>

namespace tbx {

bool StallAfterCancel::stalled(bool cancelled, Clock::time_point lastActivity) {
    if (!cancelled) {
        cancelSeen_.reset();
        return false;
    }
    const auto now = Clock::now();
    if (!cancelSeen_)
        cancelSeen_ = now;
    return now - std::max(*cancelSeen_, lastActivity) >= wait_;
}

bool waitUntilReady(int fd, short events, const std::function<bool()>& giveUp) {
    constexpr int stepMs = 100;
    for (;;) {
        pollfd p{fd, events, 0};
        const int ready = ::poll(&p, 1, stepMs);
        if (ready > 0 || (ready < 0 && errno != EINTR))
            return true;
        if (giveUp())
            return false;
    }
}

} // namespace tbx
