#include "printfilter/CancelledWait.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/ioctl.h>

namespace tbx {

bool pastCancel(const CancelTime& cancelledAt, std::chrono::milliseconds wait, CancelClock::time_point now) {
    return cancelledAt && now - *cancelledAt >= wait;
}

bool idleSinceCancel(const CancelTime& cancelledAt, CancelClock::time_point lastActivity,
                     std::chrono::milliseconds wait, CancelClock::time_point now) {
    return cancelledAt && now - std::max(*cancelledAt, lastActivity) >= wait;
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

std::optional<std::size_t> unreadBytes(int fd) {
    int n = 0;
    if (::ioctl(fd, FIONREAD, &n) != 0 || n < 0)
        return std::nullopt;
    return static_cast<std::size_t>(n);
}

} // namespace tbx
