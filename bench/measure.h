// Timing loops and the figures taken from them.
//
// A run calls one transaction again and again and keeps, for the run as a
// whole, the wall time, this thread's CPU time (user + system from
// getrusage, so the simulated PLC or server in its child process never
// counts), the context switches, what the counting replacements saw inside
// the calls, and each call's latency. Runs of one kind may be added up, so a
// comparison can alternate between two kinds in short rounds and let both
// see the same machine load.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bench/counting.h"

namespace bench {

double NowSeconds();  // monotonic

// This thread's CPU time, user and system.
struct CpuTime {
    double user = 0;
    double system = 0;
    int64_t voluntarySwitches = 0;
    int64_t involuntarySwitches = 0;
};
CpuTime ThreadCpu();

struct RunLimits {
    double seconds = 2.0;               // run at least this long...
    uint64_t minTransactions = 1;       // ...and at least this many times...
    uint64_t maxTransactions = 200000;  // ...but never more often than this
    uint64_t warmup = 20;               // untimed calls before the run
};

// Everything measured for one kind of transaction, over one or more runs.
struct Figures {
    uint64_t transactions = 0;
    uint64_t failures = 0;  // calls that did not answer as expected
    double wallSeconds = 0;
    double userSeconds = 0;
    double systemSeconds = 0;
    int64_t voluntarySwitches = 0;
    int64_t involuntarySwitches = 0;
    CallCounts inside;              // counted inside the measured calls
    std::vector<double> latencies;  // seconds, one per transaction, in order

    double CpuSeconds() const { return userSeconds + systemSeconds; }
    double PerTransaction(double total) const;
    double PerTransaction(uint64_t total) const;
    double TransactionsPerSecond() const;
    double LineBytesPerTransaction() const;  // both directions, as read and written
};

// Another process's CPU seconds so far (user + system, from /proc); 0 when
// it cannot be read.
double ProcessCpuSeconds(pid_t pid);
// A "Vm...:" line of another process's /proc status in kB, `key` with its
// colon ("VmRSS:", "VmHWM:"); 0 when it cannot be read.
long ProcessStatusKb(pid_t pid, const char* key);

// Nearest-rank percentile (0 < p <= 100) of unsorted samples; 0 for none.
double Percentile(std::vector<double> samples, double p);

// One character on the line: start bit, 8 data bits, parity, stop bit.
constexpr double kBitsPerCharacter = 11.0;

// Seconds the given bytes occupy a serial line at `baud`.
double LineSeconds(double bytes, double baud);

// Calls `transaction` (returning true when it answered as expected) under
// the limits and adds what it measured to `figures`.
template <typename Transaction>
void RunTransactions(Transaction&& transaction, const RunLimits& limits, Figures* figures) {
    for (uint64_t i = 0; i < limits.warmup; ++i) transaction();
    figures->latencies.reserve(figures->latencies.size() + limits.maxTransactions);

    const CallCounts countsBefore = CountedSoFar();
    const CpuTime cpuBefore = ThreadCpu();
    const double start = NowSeconds();
    double now = start;
    uint64_t done = 0;
    while (done < limits.maxTransactions &&
           (now - start < limits.seconds || done < limits.minTransactions)) {
        const double before = NowSeconds();
        bool ok = false;
        {
            CountingScope counting;
            ok = transaction();
        }
        now = NowSeconds();
        figures->latencies.push_back(now - before);
        if (!ok) ++figures->failures;
        ++done;
    }
    const CpuTime cpuAfter = ThreadCpu();

    figures->transactions += done;
    figures->wallSeconds += now - start;
    figures->userSeconds += cpuAfter.user - cpuBefore.user;
    figures->systemSeconds += cpuAfter.system - cpuBefore.system;
    figures->voluntarySwitches += cpuAfter.voluntarySwitches - cpuBefore.voluntarySwitches;
    figures->involuntarySwitches += cpuAfter.involuntarySwitches - cpuBefore.involuntarySwitches;
    figures->inside += CountedSoFar() - countsBefore;
}

}  // namespace bench
