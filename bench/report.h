// What one benchmark run found, as a table on stdout and as JSON.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "bench/measure.h"

namespace bench {

// One kind of transaction against an unpaced line.
struct KindResult {
    std::string key;       // JSON name
    std::string label;     // table name
    int payloadBytes = 0;  // PLC data bytes moved per transaction
    Figures figures;
    bool valuesRight = false;  // checked against the simulator's memory after the run
    // Every system call per transaction, by name, from the strace pass;
    // empty when there was none.
    std::vector<std::pair<std::string, double>> traced;
    double TracedTotal() const;
};

// Reads of a station that never answers.
struct SilentResult {
    bool ran = false;
    int32_t ticks = 0;
    double expectedSeconds = 0;  // three attempts, one read time limit each
    std::vector<double> seconds;
    int failedAsExpected = 0;  // reads that answered 2
    uint64_t heapCalls = 0;
    uint64_t logLines = 0;
};

// 256-byte block reads with the simulator pacing its replies at a baud rate.
struct PacedResult {
    uint32_t baud = 0;
    Figures figures;
    bool valuesRight = false;

    double RequestBytes() const { return figures.PerTransaction(figures.inside.bytesWritten); }
    double ReplyBytes() const { return figures.PerTransaction(figures.inside.bytesRead); }
    double ElapsedPerTransaction() const { return figures.PerTransaction(figures.wallSeconds); }
    // The pseudo-terminal passes the request at once; a real line would
    // hold it for its line time, so that time is added to the elapsed time.
    double Utilisation() const;
    // The paced direction alone: reply line time over elapsed time.
    double ReplyUtilisation() const;
    // Elapsed time per transaction beyond the reply's line time.
    double IdleSeconds() const;
};

struct Target {
    std::string name;
    std::string measured;
    std::string limit;
    bool met = false;
};

struct Environment {
    std::string date;
    std::string kernel;
    int cpus = 0;
    double loadStart[3] = {};
    double loadEnd[3] = {};
    std::string module;
    std::string simulator;
    std::string libmodbus;  // version, or empty when left out
    double seconds = 0;
    int rounds = 0;
    double wallSeconds = 0;  // the whole run
};

struct Results {
    Environment env;
    std::vector<KindResult> kinds;  // the driver's
    bool haveYardstick = false;
    std::string yardstickNote;  // why it is missing
    KindResult yardstick;
    SilentResult silent;
    std::vector<PacedResult> paced;
    std::string tracedNote;  // how the strace pass went
    uint64_t nuvCalls = 0;
    uint64_t heapCallsAllCalls = 0;  // inside every NuvMain call of the run
    std::vector<Target> targets;
    std::vector<std::string> problems;  // failures of the run itself
};

// The line rates the driver's CPU time is compared with.
constexpr double kCompareBauds[] = {9600.0, 115200.0};

// The driver's CPU time per transaction as a share of the line time of
// the bytes it moved.
double CpuShareOfLine(const Figures& figures, double baud);

void PrintTable(const Results& results);
bool WriteJson(const Results& results, const std::string& path, std::string* error);

}  // namespace bench
