// How long a client's write may hold the OPC UA server's one thread: the
// line's worst case for that write, from the line's own settings.
#pragma once

#include <chrono>
#include <cstdint>

#include "driver/records.h"

namespace opcua {

struct LineTiming {
    LineParams line{9600, 8, 0, 2};
    int32_t ticks = 100;                     // the driver's read limit, 10 ms each; 0: none
    double turnaroundMs = 5;                 // the PLC's time to answer
    std::chrono::milliseconds lateGuard{0};  // the hold after a transaction with a failed attempt
};

// With no read limit a transaction has no worst case; a write then waits
// this long.
constexpr std::chrono::milliseconds kUnboundedWriteWait{30000};

// The scan transaction that may be under way ahead of the write (a 256-byte
// block read through all its attempts, then the hold after it), and the
// write's own transactions through all their attempts: for a bit, the read
// of its byte, the hold, then the write.
std::chrono::milliseconds WriteWait(const LineTiming& timing, bool bit);

}  // namespace opcua
