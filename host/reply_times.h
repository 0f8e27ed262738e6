// A station's reply times, from request sent to reply complete, kept in a
// fixed-size histogram of 2 % steps: a long run needs no more memory, and a
// quantile read from it is off by at most one step.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace hostlib {

class ReplyTimes {
public:
    void Record(double seconds);

    uint64_t Count() const { return count_; }
    // Seconds at or below which this share (0..1) of the replies came; the
    // upper edge of the step it falls in. 0 before any reply.
    double Quantile(double share) const;
    double Max() const { return max_; }

    // "median 12.3 ms, p99 40.1 ms, max 55.0 ms (n 1234)".
    std::string Summary() const;

    // The warning a host logs when the p99 has come within half of the read
    // limit, so that late replies (which no host can tell from fresh ones
    // past its guard) are about to begin; empty while it has not, or when
    // there is no limit.
    std::string SlowWarning(int station, int32_t readLimitMs) const;

private:
    static constexpr int kBuckets = 800;  // 100 us * 1.02^800: past any read limit
    std::array<uint64_t, kBuckets> buckets_{};
    uint64_t count_ = 0;
    double max_ = 0;
};

}  // namespace hostlib
