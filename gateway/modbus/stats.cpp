#include "gateway/modbus/stats.h"

#include <algorithm>
#include <cstdio>

namespace vave8gw {

void Stats::Record(uint8_t unit, uint8_t exception, bool backoff, double seconds) {
    std::lock_guard lock(mutex_);
    ++total_;
    ++byUnit_[unit];
    ++byUnitAndException_[unit][exception & 0x0F];
    if (exception != 0) ++failed_;
    if (backoff) ++backoff_;
    latency_.Record(seconds);
}

void Stats::RecordReply(uint8_t station, double seconds) {
    std::lock_guard lock(mutex_);
    replies_[station & 15].Record(seconds);
}

std::string Stats::SlowWarning(uint8_t station, int32_t readLimitMs) const {
    std::lock_guard lock(mutex_);
    return replies_[station & 15].SlowWarning(station & 15, readLimitMs);
}

std::string Stats::Line(size_t peakRequests, size_t peakConnections, int connections) const {
    std::lock_guard lock(mutex_);
    char text[256];
    std::snprintf(text, sizeof text, "stats: %llu requests, %llu failed",
                  static_cast<unsigned long long>(total_),
                  static_cast<unsigned long long>(failed_));
    std::string line = text;
    for (int unit = 0; unit < 256; ++unit) {
        if (byUnit_[static_cast<size_t>(unit)] == 0) continue;
        const auto& exceptions = byUnitAndException_[static_cast<size_t>(unit)];
        std::snprintf(text, sizeof text, "; unit %d: %llu", unit,
                      static_cast<unsigned long long>(byUnit_[static_cast<size_t>(unit)]));
        line += text;
        for (int e = 1; e < 16; ++e) {
            if (exceptions[static_cast<size_t>(e)] == 0) continue;
            std::snprintf(text, sizeof text, ", 0x%02X x%llu", e,
                          static_cast<unsigned long long>(exceptions[static_cast<size_t>(e)]));
            line += text;
        }
    }
    for (int station = 0; station < 16; ++station) {
        const hostlib::ReplyTimes& times = replies_[static_cast<size_t>(station)];
        if (times.Count() == 0) continue;
        line += "; station " + std::to_string(station) + " replies " + times.Summary();
    }
    std::snprintf(text, sizeof text,
                  "; latency median %.3f ms, p99 %.3f ms; dead-station backoff answered %llu at "
                  "once; round robin: up to %zu requests from %zu connections waiting; %d "
                  "connections open",
                  latency_.Quantile(0.5) * 1e3, latency_.Quantile(0.99) * 1e3,
                  static_cast<unsigned long long>(backoff_), peakRequests, peakConnections,
                  connections);
    return line + text;
}

void LogThrottle::Write(const std::string& kind, const std::string& line, double now) {
    std::lock_guard lock(mutex_);
    auto it = kinds_.find(kind);
    if (it == kinds_.end() && kinds_.size() >= kKinds) {
        // Bounded however many kinds a client makes up (a unit or function
        // code each): the rest are counted together, after their first line.
        it = kinds_.find("other kinds");
        if (it != kinds_.end()) {
            ++it->second.repeats;
            return;
        }
        it = kinds_.emplace("other kinds", Seen{now, 0}).first;
    } else if (it != kinds_.end()) {
        ++it->second.repeats;
        return;
    } else {
        kinds_.emplace(kind, Seen{now, 0});
    }
    std::fprintf(stderr, "vave8gw: %s\n", line.c_str());
}

void LogThrottle::WriteCount(const std::string& kind, const Seen& seen, double now) const {
    std::fprintf(stderr, "vave8gw: %llu more like this in the last %.0f s: %s\n",
                 static_cast<unsigned long long>(seen.repeats), std::max(1.0, now - seen.since),
                 kind.c_str());
}

void LogThrottle::Flush(double now, bool all) {
    std::lock_guard lock(mutex_);
    for (auto it = kinds_.begin(); it != kinds_.end();) {
        Seen& seen = it->second;
        if (!all && now - seen.since < kInterval) {
            ++it;
            continue;
        }
        if (seen.repeats > 0) WriteCount(it->first, seen, now);
        // A kind that stayed quiet for an interval is forgotten, so its next
        // line is written in full; one still repeating is counted on.
        if (seen.repeats == 0 || all) {
            it = kinds_.erase(it);
        } else {
            seen = Seen{now, 0};
            ++it;
        }
    }
}

}  // namespace vave8gw
