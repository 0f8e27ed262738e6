#include "bench/measure.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

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

double ProcessCpuSeconds(pid_t pid) {
    if (pid <= 0) return 0;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name, in parentheses, may hold spaces: fields count from
    // after its closing one; utime and stime are the 12th and 13th there.
    const size_t paren = text.rfind(')');
    if (paren == std::string::npos) return 0;
    std::istringstream fields(text.substr(paren + 1));
    std::string field;
    double ticks = 0;
    for (int i = 0; i < 13 && fields >> field; ++i)
        if (i >= 11) ticks += std::atof(field.c_str());
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long ProcessStatusKb(pid_t pid, const char* key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    const size_t length = std::strlen(key);
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, length, key) == 0) return std::atol(line.c_str() + length);
    return 0;
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
