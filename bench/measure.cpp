#include "bench/measure.h"

#include <time.h>

#include <algorithm>
#include <cmath>

namespace bench {

namespace {

double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
}

}  // namespace

double NowSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

CpuTime ThreadCpu() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    CpuTime cpu;
    cpu.user = Seconds(usage.ru_utime);
    cpu.system = Seconds(usage.ru_stime);
    cpu.voluntarySwitches = usage.ru_nvcsw;
    cpu.involuntarySwitches = usage.ru_nivcsw;
    return cpu;
}

double Figures::PerTransaction(double total) const {
    return transactions == 0 ? 0.0 : total / static_cast<double>(transactions);
}

double Figures::PerTransaction(uint64_t total) const {
    return PerTransaction(static_cast<double>(total));
}

double Figures::TransactionsPerSecond() const {
    return wallSeconds <= 0 ? 0.0 : static_cast<double>(transactions) / wallSeconds;
}

double Figures::LineBytesPerTransaction() const {
    return PerTransaction(inside.bytesRead + inside.bytesWritten);
}

double Percentile(std::vector<double> samples, double p) {
    if (samples.empty()) return 0.0;
    std::sort(samples.begin(), samples.end());
    // The rank is a whole number more often than not (p99 of 1000 samples);
    // rounding must not push it up to the next sample.
    const double rank = std::ceil(p / 100.0 * static_cast<double>(samples.size()) - 1e-9);
    size_t index = rank < 1.0 ? 0 : static_cast<size_t>(rank) - 1;
    if (index >= samples.size()) index = samples.size() - 1;
    return samples[index];
}

double LineSeconds(double bytes, double baud) {
    return baud <= 0 ? 0.0 : bytes * kBitsPerCharacter / baud;
}

}  // namespace bench
