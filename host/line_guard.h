// The line's timing discipline, shared by every host program of the driver.
//
// A reply names neither its request nor its station: a reply that comes
// after the driver gave up on an attempt lands on whatever request goes out
// next and passes for its answer. So after any transaction in which an
// attempt ended without a complete good reply, the next request is held
// until a late reply to any of its attempts can no longer come; the driver's
// flush before that request then drops whatever arrived meanwhile and, on
// Linux, waits for the line to fall silent before the request goes. The time
// is counted from the transaction's end, after every attempt's request went
// out, so the reply to attempt 2 that follows a success brought by attempt
// 1's late reply is covered too.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "driver/records.h"

namespace hostlib {

// The default hold: twice the driver's read limit, plus the time the longest
// reply frame takes on the line at these settings, plus a margin for the
// scheduling of both ends. 0 when the read limit is 0 (no limit: a late
// reply cannot be told from a slow one).
std::chrono::milliseconds DefaultLateGuard(int32_t ticks, const LineParams& line);

// Whether the driver's lines of one transfer call, and its result, show an
// attempt that ended without a complete reply frame (a timeout, a frame cut
// short or garbled, a port that failed): only then can its reply still come.
bool Disturbed(int32_t result, const std::vector<std::string>& lines);

class LineGuard {
public:
    using Clock = std::chrono::steady_clock;

    explicit LineGuard(std::chrono::milliseconds guard = {}) : guard_(guard) {}
    void SetGuard(std::chrono::milliseconds guard) { guard_ = guard; }
    std::chrono::milliseconds Guard() const { return guard_; }

    // A transaction that put something on the line has just ended.
    void Ended(bool disturbed, Clock::time_point at = Clock::now());

    // When the next request may go out (the past when it may now).
    Clock::time_point ClearAt() const { return holdUntil_; }

    // Sleeps until the next request may go out; returns the time waited.
    Clock::duration WaitClear();

    // Transactions that were followed by a hold.
    uint64_t Holds() const { return holds_; }

private:
    std::chrono::milliseconds guard_;
    Clock::time_point holdUntil_{};
    uint64_t holds_ = 0;
};

}  // namespace hostlib
