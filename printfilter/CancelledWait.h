#pragma once

// The bounds of a cancelled job, for the printer's output and for the raster input alike. While the
// job runs a wait lasts as long as it takes; once it is cancelled every bound is counted from the
// cancel itself (cancellation::requestedAt), so that neither side can keep the cancelled job:
// - the raster input gets kInputAfterCancel to bring what is still coming (the rest of the page
//   being read, or its end); what has not come by then counts as not coming, however many bytes
//   trickle in meanwhile;
// - the printer may go on taking the page being sent, but a printer that takes nothing for
//   kStalledCancelWait counts as stalled, and the page gets kCancelledPageBound at most.

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>

namespace tbx {

using CancelClock = std::chrono::steady_clock;
// When the job was cancelled; nothing while it runs.
using CancelTime = std::optional<CancelClock::time_point>;

// How long a cancelled job waits for the raster input still coming.
inline constexpr std::chrono::milliseconds kInputAfterCancel{2000};
// How long a cancelled job waits for a printer that takes nothing before it gives up on it.
inline constexpr std::chrono::milliseconds kStalledCancelWait{2000};
// How long the page being sent may go on after the cancel while the printer keeps taking data.
inline constexpr std::chrono::milliseconds kCancelledPageBound{30000};

// True once the job was cancelled at least wait ago.
bool pastCancel(const CancelTime& cancelledAt, std::chrono::milliseconds wait,
                CancelClock::time_point now = CancelClock::now());

// True once the job was cancelled and nothing has happened for wait since the cancel or since
// lastActivity, whichever is later.
bool idleSinceCancel(const CancelTime& cancelledAt, CancelClock::time_point lastActivity,
                     std::chrono::milliseconds wait, CancelClock::time_point now = CancelClock::now());

// Waits until fd is ready for events, or poll itself fails (the read or write that follows then
// reports it): true. The wait is looked at in short steps, since the cancel may come on another
// thread or as a signal just before the wait began; after each step giveUp is asked, and the
// wait answers false as soon as it says so.
bool waitUntilReady(int fd, short events, const std::function<bool()>& giveUp);

// The bytes that wait unread in the pipe or socket fd (what has arrived and is not read yet, or what
// was written and its reader has not taken yet); nothing when fd cannot tell.
std::optional<std::size_t> unreadBytes(int fd);

} // namespace tbx
