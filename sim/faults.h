// Fault injection: what the simulated PLC does wrong, and when.
//
// A fault replaces or disturbs the reply to one request. Three sources
// decide which request gets which fault, checked in this order:
//   1. entries for a given request number (the Nth request frame received,
//      counting from 1);
//   2. a queue: each entry is taken by the next request it matches;
//   3. standing entries that apply to every matching request;
// and, when none of these applies, a random fault at a given rate from a
// seeded generator. One request gets at most one fault.
//
// Each fault may be narrowed to one station and/or one request code.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "sim/plc.h"

namespace p8sim {

enum class FaultKind : uint8_t {
    kNone,       // "ok": answer normally (takes a slot in a queue or script)
    kSilence,    // request not heard: no reply, nothing executed
    kError,      // refused with an ERROR block carrying the given code
    kUnknown,    // a reply block of a type that is neither DONE, ERROR nor DATA
    kBadCrc,     // correct reply, wrong CRC byte
    kGarbage,    // noise bytes on the line before the reply
    kLoneStart,  // a single F1, then nothing
    kEmpty,      // a frame with no data bytes
    kShort,      // the reply block cut short by some bytes
    kSplit,      // the reply sent in two halves with a pause between
    kWrongType,  // a DATA block answering a write, a DONE block answering a read
    kUndoubled,  // an undoubled F1 59 inside the reply's data part
    kLate,       // the reply held back for some milliseconds
    kTaken,      // executed (a write changes memory), but the reply is lost
    kCount,
};
constexpr size_t kFaultKinds = static_cast<size_t>(FaultKind::kCount);

const char* FaultName(FaultKind kind);

struct Fault {
    FaultKind kind = FaultKind::kNone;
    // error: the error code; unknown: the block type; short: bytes cut;
    // split, late: milliseconds; garbage: number of random bytes.
    uint32_t param = 0;
    std::vector<uint8_t> bytes;  // garbage: the given bytes (random when empty)
    int station = -1;            // only for this station; -1 any
    uint8_t request = 0;         // only for this request code; 0 any
    // Only for requests whose byte range overlaps first..last (inclusive);
    // last < first: any range.
    uint32_t firstByte = 1;
    uint32_t lastByte = 0;

    bool Matches(const Request& req) const;
    // Faults that stop the request from being executed.
    bool Prevents() const { return kind == FaultKind::kSilence || kind == FaultKind::kError; }
};

struct ScriptEntry {
    enum When { kNext, kIndex, kEvery };
    When when = kNext;
    uint64_t index = 0;  // kIndex: the request number, from 1
    Fault fault;
};

// One fault: KIND[=PARAM][@FILTER]..., FILTER a station number, read/write
// or bytes=FIRST-LAST (hex byte addresses).
bool ParseFault(std::string_view text, Fault& out, std::string* error);
// A script: entries separated by commas, semicolons or newlines, each
// [N:|*:]FAULT; '#' starts a comment running to the end of the line.
bool ParseFaultScript(std::string_view text, std::vector<ScriptEntry>& out, std::string* error);
std::string FaultToString(const Fault& fault);

class FaultPlan {
public:
    void Add(const ScriptEntry& entry);
    void Push(const Fault& fault);
    // rate 0..1 per request; an empty pool means every kind with its default.
    void SetRandom(double rate, uint64_t seed, std::vector<Fault> pool);
    void Clear();

    // The fault for request number `index` (from 1). Consumes what it uses
    // and forgets numbered entries that are now in the past.
    Fault Pick(uint64_t index, const Request& req);

    // Numbered and queued entries not used yet.
    size_t Pending() const { return numbered_.size() + queue_.size(); }

    // Noise bytes for a garbage fault: never F1, so they can neither form a
    // start pair nor swallow the start character of the frame after them.
    std::vector<uint8_t> GarbageBytes(const Fault& fault);

private:
    std::vector<ScriptEntry> numbered_;
    std::vector<Fault> queue_;
    std::vector<Fault> every_;
    double rate_ = 0;
    std::vector<Fault> pool_;
    std::mt19937_64 rng_{1};
};

// Every fault kind with its default parameter, for random faults.
std::vector<Fault> DefaultRandomPool();

}  // namespace p8sim
