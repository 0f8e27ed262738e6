// Times until a reply (a PLC's reply time, seen by a host or by the line
// monitor; a request's time through the gateway; a poll's good reads) kept
// in a fixed-size histogram, however long the program runs: buckets whose
// bounds grow by a constant ratio, so that a quantile read from them is
// within kRelativeError of the value the sorted samples would give (from
// kLowest to kHighest seconds; below, within kLowest). The maximum is exact.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace hostlib {

class ReplyTimes {
public:
    static constexpr double kRelativeError = 0.01;
    static constexpr double kLowest = 1e-6;  // seconds
    static constexpr double kHighest = 1e4;

    // A negative time (a clock that went back) or NaN counts as 0.
    void Record(double seconds);

    uint64_t Count() const { return count_; }
    // The nearest-rank quantile (0 < share <= 1) in seconds, as the sorted
    // samples would give it, within the relative error; 0 before any sample.
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
    // ln(kHighest / kLowest) / ln((1 + e) / (1 - e)) = 1151.3, plus one
    // bucket below and one above the range.
    static constexpr size_t kBuckets = 1154;
    static size_t BucketOf(double seconds);
    double ValueOf(size_t bucket) const;

    std::array<uint64_t, kBuckets> counts_{};
    uint64_t count_ = 0;
    double min_ = 0;
    double max_ = 0;
};

}  // namespace hostlib
