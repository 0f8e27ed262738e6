// An in-memory serial line behind the eight port operations.
//
// A test binary links this library instead of a real port backend. The line
// runs on a virtual clock in milliseconds: a read on a silent line "waits"
// its read time limit by moving the clock forward and returns at once, so
// timeouts cost nothing in real time and every run is deterministic.
//
// Everything the driver writes is recorded, and the bytes are also decoded
// as PPCCOM frames; when a complete frame has been written, the installed
// responder is called with the block it carried and can schedule reply bytes
// (at once, later, or never). Bytes can also be queued directly.
//
// One line, global state: call memline::Reset() at the start of every test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "port/port.h"

namespace memline {

using Bytes = std::vector<uint8_t>;

// A complete frame the driver wrote.
struct Request {
    Bytes block;        // the block, doubling undone
    bool crcOk = true;  // the CRC byte matched
    size_t index = 0;   // 0 for the first frame since Reset()
    uint64_t at = 0;    // virtual time when its last byte was written
};

using Responder = std::function<void(const Request&)>;

// Forgets everything: clock at 0, no bytes, no counters, no responder, no
// open handles, no faults, read limit of a fresh port 1000 ms.
void Reset();

// ---- the virtual clock ----
uint64_t Now();
void Advance(uint64_t ms);

// ---- what the driver sent ----
const Bytes& Written();                  // every byte, in line order
const std::vector<Request>& Requests();  // every complete frame
size_t WriteCalls();                     // PortWrite calls (failed ones too)
size_t ReadCalls();                      // PortRead calls
size_t FlushCalls();                     // PortFlushInput calls
// Number of bytes written when each PortFlushInput call came.
const std::vector<size_t>& FlushMarks();
// Reads that found no byte and no time limit: on a real line they would
// never return; here they fail at once, and a test can check this stayed 0.
size_t EndlessWaits();

// ---- what arrives ----
// Queues bytes to arrive `delayMs` after the current virtual time.
void Queue(const Bytes& bytes, uint64_t delayMs = 0);
// Queues `block` wrapped in a correct frame.
void QueueFrame(const Bytes& block, uint64_t delayMs = 0);
// Bytes queued and not yet read (arrived or not).
size_t Pending();

// Called after each complete frame the driver writes; null removes it.
void SetResponder(Responder responder);

// ---- faults ----
// The `n`th PortWrite call from now (1 = the next) returns `code` and reports
// `written` bytes; nothing reaches the line.
void FailWrite(size_t n, int32_t code = PORT_IO_FAILED, uint32_t written = 0);
// Opening a name in this list fails with 1 (as does any name starting with
// "MISSING"); the next PortOpen of any name fails with `code` when nonzero.
void AddMissingPort(const std::string& name);
void FailNextOpen(int32_t code);
void FailNextClose();

// ---- port state, for lifecycle tests ----
bool IsOpen(PortHandle handle);
size_t OpenCount();  // handles open right now
std::string PortName(PortHandle handle);
uint32_t ReadLimitMs(PortHandle handle);  // 0 when unknown
uint16_t LineFlags(PortHandle handle);
LineParams Line(PortHandle handle);

// ---- frames, built independently of the driver's own code ----
uint8_t Crc(const Bytes& lineBytes);  // register over already doubled bytes
Bytes Frame(const Bytes& block);      // the frame as it goes on the line

// ---- a PLC's memory, as PPCCOM requests address it ----
// Nibble address n lies in byte n / 2 (32 KiB in all). Answer() gives the
// reply block a healthy PLC sends: a data block (3, 0, bytes) to a read of
// 0xA2, a done block (0) after storing the data of a write of 0xA1, and an
// ERROR block (1, 0, 0, 0x01) to anything else. Data blocks are capped at
// 256 bytes.
struct Plc {
    std::vector<uint8_t> memory = std::vector<uint8_t>(32768);
    Bytes Answer(const Bytes& request);
    // Serves every request from now on with Answer().
    void Serve();
};

// ---- the host's log, captured while an instance lives ----
struct LogLine {
    int level;
    std::string text;
};

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const std::vector<LogLine>& Lines() const { return lines_; }
    std::vector<std::string> Texts() const;
    void Clear() { lines_.clear(); }
    size_t Count(const std::string& text) const;

private:
    static void Sink(void* context, int level, const char* line);
    std::vector<LogLine> lines_;
};

}  // namespace memline
