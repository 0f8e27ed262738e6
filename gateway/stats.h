// Counters since start for the statistics line: requests and failures per
// unit and exception, and the latency from a whole request read to its reply
// sent, kept as a histogram of 2 % steps so a long run needs no more memory.
// Both threads record replies.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>

#include "host/reply_times.h"

namespace vave8gw {

class Stats {
public:
    void Record(uint8_t unit, uint8_t exception, bool backoff, double seconds);

    // A PLC's reply time: a transfer that succeeded at its first attempt,
    // from its request sent to its reply complete. Stations 0..15.
    void RecordReply(uint8_t station, double seconds);
    // ReplyTimes::SlowWarning for this station.
    std::string SlowWarning(uint8_t station, int32_t readLimitMs) const;

    // One line; the peaks are the scheduler's (requests and connections that
    // were waiting for the line at once).
    std::string Line(size_t peakRequests, size_t peakConnections, int connections) const;

private:
    // Seconds at or below which this share (0..1) of the replies came; the
    // caller holds the lock.
    double Quantile(double share) const;

    mutable std::mutex mutex_;
    static constexpr int kBuckets = 1200;  // 1 us * 1.02^1200: past any reply
    std::array<std::array<uint64_t, 16>, 256> byUnitAndException_{};  // exceptions 0..0x0F
    std::array<uint64_t, 256> byUnit_{};
    std::array<uint64_t, kBuckets> latency_{};
    std::array<hostlib::ReplyTimes, 16> replies_{};
    uint64_t total_ = 0;
    uint64_t failed_ = 0;
    uint64_t backoff_ = 0;
};

}  // namespace vave8gw
