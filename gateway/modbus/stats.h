// Counters since start for the statistics line: requests and failures per
// unit and exception, and the latency from a whole request read to its reply
// sent, kept in the same fixed-size histogram as the stations' reply times so
// a long run needs no more memory. Both threads record replies and log
// through its throttle.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "host/reply_times.h"

namespace vave8gw {

// Log lines that a client can make the gateway write as often as it likes
// (refusals, dropped connections) go through here: the first line of a kind
// is written, then the repeats of that kind are only counted and written as
// one line per interval, so no flood of requests or connections floods the
// log. Both threads log through one instance.
class LogThrottle {
public:
    static constexpr double kInterval = 10;  // seconds
    // Kinds followed at once; past it, new kinds share one count.
    static constexpr size_t kKinds = 64;

    // Writes "vave8gw: " + line, unless a line of this kind was written in
    // the current interval: then it is counted. `kind` also names the kind
    // in the count line.
    void Write(const std::string& kind, const std::string& line, double now);

    // Writes the count of every kind whose interval has ended ("N more like
    // this in the last 10 s: KIND"); with `all`, of every kind, as at exit.
    void Flush(double now, bool all = false);

private:
    struct Seen {
        double since = 0;
        uint64_t repeats = 0;
    };
    void WriteCount(const std::string& kind, const Seen& seen, double now) const;

    std::mutex mutex_;
    std::map<std::string, Seen> kinds_;
};

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

    LogThrottle& Log() { return log_; }

private:
    mutable std::mutex mutex_;
    std::array<std::array<uint64_t, 16>, 256> byUnitAndException_{};  // exceptions 0..0x0F
    std::array<uint64_t, 256> byUnit_{};
    hostlib::ReplyTimes latency_;
    std::array<hostlib::ReplyTimes, 16> replies_{};
    uint64_t total_ = 0;
    uint64_t failed_ = 0;
    uint64_t backoff_ = 0;
    LogThrottle log_;
};

}  // namespace vave8gw
