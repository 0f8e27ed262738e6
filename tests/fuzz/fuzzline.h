// The fuzz harnesses' serial line: the eight port operations in memory.
//
// The same line as the tests' in-memory line (tests/support/memline.h): a
// virtual clock in milliseconds, a read on a silent line moves the clock by
// its limit and returns at once, bytes never overtake one another, and the
// frames the driver writes are decoded and handed to a responder. This one is
// built for hundreds of millions of runs: fixed storage and no heap, a reset
// that costs next to nothing, no lookups on the per-byte paths. It also keeps
// every byte queued during a run with its arrival time, read or not, so a
// harness can look back at what the driver could have seen.
//
// One line, global state: call Reset() at the start of every run. A run that
// queues, writes or decodes more than the fixed storage holds aborts with a
// message; no input of the harnesses' formats comes near it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "port/port.h"

namespace fuzzline {

constexpr size_t kMaxQueued = size_t{1} << 17;   // bytes queued in one run
constexpr size_t kMaxWritten = size_t{1} << 17;  // bytes written in one run
constexpr size_t kMaxRequests = 4096;            // frames written in one run
constexpr size_t kMaxPorts = 32;                 // ports open at once
constexpr size_t kMaxName = 64;                  // port name, terminator included

// A complete frame the driver wrote. `block` stays valid until Reset().
struct Request {
    const uint8_t* block;  // the block, doubling undone
    size_t size;
    bool crcOk;   // the CRC byte matched
    uint64_t at;  // virtual time when its last byte was written
};

// Called after each complete frame the driver writes.
using Responder = void (*)(void* context, const Request& request);

// Clock at 0, no bytes, no counters, no responder, no ports, no fault.
void Reset();

// The line's state, read inline by the accessors below: the harnesses'
// checks look back over every queued byte after every call.
namespace detail {
struct Counters {
    uint64_t now = 0;
    size_t queued = 0;
    size_t taken = 0;
    size_t written = 0;
    size_t requests = 0;
    size_t writeCalls = 0;
    size_t readCalls = 0;
    size_t flushCalls = 0;
};
extern Counters g_counters;
extern uint8_t g_queuedBytes[kMaxQueued];
extern uint64_t g_queuedAt[kMaxQueued];
extern uint8_t g_written[kMaxWritten];
extern Request g_requests[kMaxRequests];
}  // namespace detail

inline uint64_t Now() {
    return detail::g_counters.now;
}

// ---- what the driver sent ----
inline const uint8_t* Written() {  // every byte, in line order
    return detail::g_written;
}
inline size_t WrittenCount() {
    return detail::g_counters.written;
}
inline size_t RequestCount() {
    return detail::g_counters.requests;
}
inline Request RequestAt(size_t i) {
    return detail::g_requests[i];
}
inline size_t WriteCalls() {  // PortWrite calls (the failed one too)
    return detail::g_counters.writeCalls;
}
inline size_t ReadCalls() {  // PortRead calls
    return detail::g_counters.readCalls;
}
inline size_t FlushCalls() {  // PortFlushInput calls
    return detail::g_counters.flushCalls;
}

// ---- what arrives ----
// Queues bytes to arrive `delayMs` after the current virtual time.
void Queue(const uint8_t* bytes, size_t count, uint64_t delayMs);
// Queues `count` copies of `byte`.
void QueueRun(uint8_t byte, size_t count, uint64_t delayMs);
// Every byte queued this run, in line order, and its arrival time (never
// earlier than the byte's before it); the first Taken() of them have been
// read or dropped.
inline size_t Queued() {
    return detail::g_counters.queued;
}
inline const uint8_t* QueuedBytes() {
    return detail::g_queuedBytes;
}
inline uint8_t QueuedByte(size_t i) {
    return detail::g_queuedBytes[i];
}
inline uint64_t QueuedAt(size_t i) {
    return detail::g_queuedAt[i];
}
inline size_t Taken() {
    return detail::g_counters.taken;
}
inline size_t Pending() {
    return Queued() - Taken();
}

void SetResponder(Responder responder, void* context);

// ---- faults ----
// The `n`th PortWrite call from now (1 = the next) fails with 7 and puts
// nothing on the line. One such fault at a time.
void FailWrite(size_t n);

// ---- ports (names starting with "MISSING" fail to open) ----
bool IsOpen(PortHandle handle);
size_t OpenCount();
const char* PortName(PortHandle handle);  // "" when not open

// ---- frames, built independently of the driver's own code ----
// Writes the frame of `block` as it goes on the line into `out`, which
// holds at least 2 * size + 8 bytes; returns its length.
size_t Frame(const uint8_t* block, size_t size, uint8_t* out);

}  // namespace fuzzline
