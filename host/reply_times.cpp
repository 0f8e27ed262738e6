#include "host/reply_times.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace hostlib {

namespace {

// Each bucket spans values from a to a * kRatio; the value that stands for
// it, 2a * kRatio / (1 + kRatio), is within kRelativeError of every one.
constexpr double kRatio = (1 + ReplyTimes::kRelativeError) / (1 - ReplyTimes::kRelativeError);

}  // namespace

size_t ReplyTimes::BucketOf(double seconds) {
    if (!(seconds >= kLowest)) return 0;
    if (seconds >= kHighest) return kBuckets - 1;
    const auto k = static_cast<size_t>(std::log(seconds / kLowest) / std::log(kRatio));
    return std::min(k + 1, kBuckets - 2);
}

double ReplyTimes::ValueOf(size_t bucket) const {
    if (bucket == 0) return min_;
    if (bucket == kBuckets - 1) return max_;
    const double low = kLowest * std::pow(kRatio, static_cast<double>(bucket - 1));
    return std::clamp(2 * low * kRatio / (1 + kRatio), min_, max_);
}

void ReplyTimes::Record(double seconds) {
    if (!(seconds >= 0)) seconds = 0;  // NaN too
    min_ = count_ == 0 ? seconds : std::min(min_, seconds);
    max_ = count_ == 0 ? seconds : std::max(max_, seconds);
    ++count_;
    ++counts_[BucketOf(seconds)];
}

double ReplyTimes::Quantile(double share) const {
    if (count_ == 0) return 0;
    const double wanted = std::ceil(share * static_cast<double>(count_));
    const uint64_t rank = wanted < 1 ? 1 : std::min(static_cast<uint64_t>(wanted), count_);
    if (rank == count_) return max_;
    uint64_t seen = 0;
    for (size_t b = 0; b < kBuckets; ++b) {
        seen += counts_[b];
        if (seen >= rank) return ValueOf(b);
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
