#pragma once

// Waiting on a descriptor in a job that may be cancelled, for the printer's output and for the
// raster input alike. While the job runs a wait lasts as long as it takes; once it is cancelled,
// a side that has done nothing for a set time (counted from the cancel, or from its last activity
// when that is later) counts as stalled, so that it cannot keep the cancelled job forever.

#include <chrono>
#include <functional>
#include <optional>

namespace tbx {

// How long a cancelled job waits for a side that does nothing before it gives up on it.
inline constexpr std::chrono::milliseconds kStalledCancelWait{2000};

class StallAfterCancel {
public:
    using Clock = std::chrono::steady_clock;

    explicit StallAfterCancel(std::chrono::milliseconds wait = kStalledCancelWait) : wait_(wait) {}
    std::chrono::milliseconds wait() const { return wait_; }

    // True once cancelled holds and nothing has happened for the wait since lastActivity or
    // since the cancel was first seen here, whichever is later. A false cancelled forgets it.
    bool stalled(bool cancelled, Clock::time_point lastActivity);

private:
    std::chrono::milliseconds wait_;
    std::optional<Clock::time_point> cancelSeen_;
};

// Waits until fd is ready for events, or poll itself fails (the read or write that follows then
// reports it): true. The wait is looked at in short steps, since the cancel may come on another
// thread or as a signal just before the wait began; after each step giveUp is asked, and the
// wait answers false as soon as it says so.
bool waitUntilReady(int fd, short events, const std::function<bool()>& giveUp);

} // namespace tbx
