#pragma once
// Time for network waits. These are real waits in the kernel (poll, connect), so they run on the
// steady clock rather than the program's injectable clock: a fake clock could not end a poll.

#include <algorithm>
#include <chrono>

using NetClock = std::chrono::steady_clock;
using NetDeadline = NetClock::time_point;

// No deadline at all.
inline constexpr NetDeadline kNoDeadline = NetDeadline::max();

// now + timeout, saturating (a huge timeout is no deadline rather than an overflow).
inline NetDeadline DeadlineAfter(std::chrono::milliseconds timeout) {
    const NetDeadline now = NetClock::now();
    if (timeout.count() <= 0) return now;
    if (timeout >= std::chrono::duration_cast<std::chrono::milliseconds>(kNoDeadline - now))
        return kNoDeadline;
    return now + timeout;
}

// Milliseconds for poll: -1 for no deadline, 0 once it has passed, else rounded up so that a
// wait does not end a fraction of a millisecond early and spin.
inline int PollTimeoutMs(NetDeadline deadline) {
    if (deadline == kNoDeadline) return -1;
    const auto left = deadline - NetClock::now();
    if (left <= NetClock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(ms, 24LL * 3600 * 1000));
}
