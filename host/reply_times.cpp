#include "host/reply_times.h"

#include <cmath>
#include <cstdio>

namespace hostlib {

namespace {

constexpr double kBase = 100e-6;
constexpr double kStep = 1.02;

}  // namespace

void ReplyTimes::Record(double seconds) {
    if (!(seconds >= 0)) seconds = 0;  // NaN too
    int bucket = 0;
    if (seconds > kBase) {
        const double steps = std::log(seconds / kBase) / std::log(kStep);
        bucket = steps >= kBuckets - 1 ? kBuckets - 1 : static_cast<int>(steps) + 1;
    }
    ++buckets_[static_cast<size_t>(bucket)];
    ++count_;
    if (seconds > max_) max_ = seconds;
}

double ReplyTimes::Quantile(double share) const {
    if (count_ == 0) return 0;
    const double wanted = std::ceil(share * static_cast<double>(count_));
    const uint64_t rank = wanted < 1 ? 1 : static_cast<uint64_t>(wanted);
    uint64_t seen = 0;
    for (int i = 0; i < kBuckets; ++i) {
        seen += buckets_[static_cast<size_t>(i)];
        if (seen >= rank) {
            const double edge = kBase * std::pow(kStep, i);
            return edge < max_ ? edge : max_;
        }
    }
    return max_;
}

std::string ReplyTimes::Summary() const {
    char text[112];
    std::snprintf(text, sizeof text, "median %.1f ms, p99 %.1f ms, max %.1f ms (n %llu)",
                  1e3 * Quantile(0.5), 1e3 * Quantile(0.99), 1e3 * max_,
                  static_cast<unsigned long long>(count_));
    return text;
}

std::string ReplyTimes::SlowWarning(int station, int32_t readLimitMs) const {
    if (readLimitMs <= 0 || count_ == 0) return {};
    const double p99Ms = 1e3 * Quantile(0.99);
    if (p99Ms < readLimitMs / 2.0) return {};
    char text[160];
    std::snprintf(text, sizeof text,
                  "station %d answers in up to %.0f ms against a %d ms read limit: raise --timeout",
                  station, p99Ms, readLimitMs);
    return text;
}

}  // namespace hostlib
