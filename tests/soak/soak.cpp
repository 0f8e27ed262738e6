// vave8soak: a long run of random reads and writes through the driver module
// against the simulated PLC, with faults injected on the line, every result
// checked against a shadow of PLC memory.
//
// The soak is the only writer of PLC memory, and the simulator starts from a
// state the soak can reproduce (a pattern from the seed in each station's
// window). So after every transfer it knows what must be true:
//   - a read that returns 0 has put exactly the PLC's bytes in the value
//     area (anything else is a false success); one that fails has left the
//     area alone;
//   - a write that returns 0 is in PLC memory (a false success otherwise);
//     one that fails has changed nothing, or, where the line failed after
//     the PLC took the request, the bytes are all new ("applied despite
//     failure"); a mixture is corruption;
//   - results are 0, 1 or 2; counts no request can carry are refused with 1;
//   - nothing is written outside the value area, the instance storage or
//     the call records (guard bytes around each, records compared).
//
// Two ways to reach the simulator:
//   - in-process (Linux, the default): the simulator library serves a fresh
//     pseudo-terminal on a thread; its memory is compared directly, its
//     fault counters are printed;
//   - --port NAME: a simulator started outside (p8sim, or under Wine a COM
//     port linked to its pseudo-terminal). `--prepare FILE` writes the
//     starting image and prints the p8sim arguments that match this run;
//     PLC memory is then checked by reading it back through the driver.
//
// Spacing after a disturbed transfer. Nothing in a reply ties it to its
// request, so a reply that arrives after the next transfer has discarded the
// old input would be taken for that transfer's answer; no driver can tell.
// The driver discards input before each transfer; what the soak must make
// sure of is that a reply still on its way has arrived by then, as a host's
// next scan would come later. After a transfer that logged anything (every
// failed attempt does) the soak waits until the simulator has answered every
// request that went out (in-process), or a fixed time longer than the
// slowest injected reply (--port).
//
// --no-settle drops that wait and does what a host that scans without pause
// does: the line guard every host program shares holds the next transfer
// only after one whose attempt ended without a whole frame, for its bound,
// and the faults keep within that bound (no reply later than twice the read
// limit). Then the soak proves the bound: with no knowledge of the
// simulator's state, still no false success and no byte wrong.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "driver/records.h"
#include "host/line_guard.h"
#include "tests/soak/host.h"
#include "tests/soak/model.h"

#if defined(VAVE8_SOAK_HAVE_SIM)
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "sim/sim.h"
#endif

namespace {

using soak::Kind;
using soak::Op;
using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

const char kUsage[] =
    "usage: vave8soak [options]\n"
    "  --transactions N    transfers to make (default 2000)\n"
    "  --fault-rate R      share of requests the simulator answers wrongly, 0..1 (default 0.1)\n"
    "  --seed S            seed of the transfers, the faults and the starting memory (default 1)\n"
    "  --timeout-ticks T   the driver's read timeout, ticks of 10 ms, 1..100 (default 4)\n"
    "  --port NAME         use a simulator started outside on this port (e.g. COM5)\n"
    "  --module PATH       the driver module (default: beside this program)\n"
    "  --prepare FILE      write the starting memory image to FILE, print the p8sim\n"
    "                      arguments of this run one per line, and exit\n"
    "  --dump-shadow FILE  write the expected final memory in p8sim's dump format\n"
    "  --settle-ms MS      with --port: wait after a disturbed transfer (default from T)\n"
    "  --no-settle         never wait for the simulator: hold the line only as a host does\n"
    "                      (the shared late-reply guard), with replies at most 2 x T late\n"
    "  --late-guard MS     the guard's length with --no-settle (default: the hosts' default)\n"
    "  --parity P          line parity for ColdStart: 0 none .. 4 space (default 2, even)\n"
    "  --verbose           print every transfer that failed\n";

struct Options {
    uint64_t transactions = 2000;
    double faultRate = 0.1;
    uint64_t seed = 1;
    int32_t timeoutTicks = 4;
    std::string port;
    std::string module;
    std::string prepare;
    std::string dumpShadow;
    int32_t settleMs = -1;
    bool noSettle = false;
    int32_t lateGuardMs = -1;
    uint16_t parity = 2;
    bool verbose = false;
};

// The injected faults: every kind the simulator has, with delays scaled to
// the read timeout so that each lands where it should: a split reply whose
// halves come within one read limit and one whose halves do not; a reply
// late enough to be taken by the next attempt and one that comes after the
// transfer gave up.
//
// Without the settling wait, no reply comes later than twice the read limit:
// late and split replies are drawn from that range instead.
std::string FaultKinds(int32_t ticks, bool bounded) {
    const int32_t t = ticks * 10;
    if (bounded) {
        // Most often past the read limit, where a late reply outlives its
        // attempt: a kind named twice is drawn twice as often.
        const std::string past = "=" + std::to_string(t) + "-" + std::to_string(2 * t);
        return "silence,error=0x0C,error=0x01,unknown=0x07,crc,garbage=8,garbage=300,"
               "lonestart,empty,short=1,wrongtype,undoubled,taken,late=0-" +
               std::to_string(2 * t) + ",split=0-" + std::to_string(2 * t) + ",late" + past +
               ",late" + past + ",late" + past + ",late" + past + ",split" + past + ",split" + past;
    }
    return "silence,error=0x0C,error=0x25,error=0x01,error=0x11,unknown=0x07,unknown=0x82,"
           "crc,garbage=8,garbage=300,lonestart,empty,short=1,short=3,"
           "split=" +
           std::to_string(t / 2) + ",split=" + std::to_string(2 * t) +
           ",wrongtype,undoubled,late=" + std::to_string(3 * t / 2) +
           ",late=" + std::to_string(4 * t) + ",taken";
}

// Longest a reply to an earlier request can still be on its way: the latest
// late reply, and the replies queued behind it, with room for a slow host.
int32_t DefaultSettleMs(int32_t ticks) {
    return 4 * ticks * 10 + 2 * ticks * 10 + 150;
}

void SleepMs(int32_t ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool ParseU64(const char* text, uint64_t* out) {
    if (text == nullptr || *text == '\0' || *text == '-') return false;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 0);
    if (*end != '\0') return false;
    *out = v;
    return true;
}

int Usage(const std::string& why) {
    std::fprintf(stderr, "vave8soak: %s\n%s", why.c_str(), kUsage);
    return 64;
}

bool ParseOptions(int argc, char** argv, Options* o, int* exitCode) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        uint64_t n = 0;
        bool used = true;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            *exitCode = 0;
            return false;
        } else if (a == "--verbose") {
            o->verbose = true;
            used = false;
        } else if (a == "--no-settle") {
            o->noSettle = true;
            used = false;
        } else if (a == "--late-guard" && ParseU64(v, &n) && n <= 600000) {
            o->lateGuardMs = static_cast<int32_t>(n);
            o->noSettle = true;
        } else if (a == "--transactions" && ParseU64(v, &n) && n > 0) {
            o->transactions = n;
        } else if (a == "--fault-rate" && v != nullptr) {
            char* end = nullptr;
            o->faultRate = std::strtod(v, &end);
            if (*end != '\0' || !(o->faultRate >= 0 && o->faultRate <= 1)) {
                *exitCode = Usage("--fault-rate needs a number from 0 to 1");
                return false;
            }
        } else if (a == "--seed" && ParseU64(v, &n)) {
            o->seed = n;
        } else if (a == "--timeout-ticks" && ParseU64(v, &n) && n >= 1 && n <= 100) {
            o->timeoutTicks = static_cast<int32_t>(n);
        } else if (a == "--port" && v != nullptr) {
            o->port = v;
        } else if (a == "--module" && v != nullptr) {
            o->module = v;
        } else if (a == "--prepare" && v != nullptr) {
            o->prepare = v;
        } else if (a == "--dump-shadow" && v != nullptr) {
            o->dumpShadow = v;
        } else if (a == "--parity" && ParseU64(v, &n) && n <= 4) {
            o->parity = static_cast<uint16_t>(n);
        } else if (a == "--settle-ms" && ParseU64(v, &n) && n <= 60000) {
            o->settleMs = static_cast<int32_t>(n);
        } else {
            *exitCode = Usage("bad option or value: " + a);
            return false;
        }
        if (used) ++i;
    }
    if (o->settleMs < 0) o->settleMs = DefaultSettleMs(o->timeoutTicks);
    return true;
}

bool Contains(const std::string& s, const char* part) {
    return s.find(part) != std::string::npos;
}

// Requests a transfer put on the line: one per failed attempt that got as
// far as sending (each logs a line with its attempt number), plus one per
// exchange that succeeded. A bit write runs a read exchange of its own first.
uint64_t RequestsSent(const Op& op, int32_t result, const Lines& lines) {
    if (op.expectRefusal) return 0;
    uint64_t sent = 0;
    bool readBackFailed = false;
    for (const std::string& line : lines) {
        if (Contains(line, " retry ") && !Contains(line, "Send request error")) ++sent;
        if (Contains(line, "Single Read() , ret val is")) readBackFailed = true;
    }
    const bool bitWrite = op.kind == Kind::SingleWrite && op.bit >= 0;
    if (bitWrite && !readBackFailed) ++sent;
    if (result == NUV_OK) ++sent;
    return sent;
}

struct Tally {
    uint64_t transfers = 0, reads = 0, writes = 0, refusalsAsked = 0;
    uint64_t ok = 0, result1 = 0, result2 = 0, otherResult = 0;
    uint64_t appliedDespiteFailure = 0, unchangedAfterFailure = 0;
    uint64_t falseSuccess = 0, corruption = 0, violations = 0;
    uint64_t verifyReads = 0, verifyGaveUp = 0, settleTimeouts = 0;
    // Attempt lines by what went wrong.
    uint64_t errorBlocks = 0, unknownBlocks = 0, shortBlocks = 0, replyErrors = 0, sendErrors = 0;
};

// What the soak talks to, and what it can see of it.
class Plc {
public:
    explicit Plc(const Options& options)
        : options_(options),
          guard_(options.lateGuardMs >= 0
                     ? std::chrono::milliseconds(options.lateGuardMs)
                     : hostlib::DefaultLateGuard(options.timeoutTicks,
                                                 LineParams{9600, 8, 0, options.parity})) {}

    bool Start(const soak::Shadow& shadow, std::string* error) {
        if (!options_.port.empty()) {
            portName_ = options_.port;
            return true;
        }
#if defined(VAVE8_SOAK_HAVE_SIM)
        std::vector<p8sim::ScriptEntry> entries;
        if (!p8sim::ParseFaultScript(FaultKinds(options_.timeoutTicks, options_.noSettle), entries, error)) {
            return false;
        }
        std::vector<p8sim::Fault> pool;
        for (const p8sim::ScriptEntry& e : entries) pool.push_back(e.fault);
        if (options_.faultRate > 0) sim_.SetRandomFaults(options_.faultRate, options_.seed, pool);
        for (int station : soak::kStations) {
            sim_.WriteMemory(
                station, 0,
                Bytes(shadow.Image(station), shadow.Image(station) + soak::kStationBytes));
        }
        if (!sim_.Start(error)) return false;
        // Opened before the driver opens it exclusively; never read.
        lineSide_ = open(sim_.Path().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (lineSide_ < 0) {
            *error = "cannot open " + sim_.Path() + ": " + std::strerror(errno);
            return false;
        }
        // A bare name is taken relative to /dev; the field holds 11 characters.
        portName_ = sim_.Path();
        if (portName_.rfind("/dev/", 0) == 0) portName_ = portName_.substr(5);
        if (portName_.size() > 11) {
            *error = "the pseudo-terminal " + sim_.Path() + " has no name of 11 characters";
            return false;
        }
        return true;
#else
        (void)shadow;
        *error = "this build has no simulator of its own: give --port";
        return false;
#endif
    }

    void Stop() {
#if defined(VAVE8_SOAK_HAVE_SIM)
        if (Direct()) sim_.Stop();
        if (lineSide_ >= 0) close(lineSide_);
        lineSide_ = -1;
#endif
    }

    const std::string& PortName() const {
        return portName_;
    }

    // PLC memory visible without the driver.
    bool Direct() const {
#if defined(VAVE8_SOAK_HAVE_SIM)
        return options_.port.empty();
#else
        return false;
#endif
    }

    Bytes Memory(int station, uint32_t byteAddr, size_t n) const {
#if defined(VAVE8_SOAK_HAVE_SIM)
        return sim_.ReadMemory(station, byteAddr, n);
#else
        (void)station, (void)byteAddr;
        return Bytes(n);
#endif
    }

    // After a transfer that put `sent` requests on the line. Gives false when
    // the simulator saw other traffic than that.
    bool AfterTransfer(int32_t result, const Lines& lines, uint64_t sent, Tally* tally,
                       std::string* why) {
        sent_ += sent;
        const bool disturbed = !lines.empty();
        if (options_.noSettle) {
            // Waited here rather than before the next transfer, which comes
            // at once: the checks of this one see memory as the next sees it.
            guard_.Ended(hostlib::Disturbed(result, lines));
            guard_.WaitClear();
            if (!Direct()) return true;
        } else if (!Direct()) {
            if (disturbed) SleepMs(options_.settleMs);
            return true;
        }
#if defined(VAVE8_SOAK_HAVE_SIM)
        if (disturbed && !options_.noSettle) {
            if (!sim_.WaitForRequests(sent_, 10000)) ++tally->settleTimeouts;
            // The last replies are written to the pseudo-terminal, which
            // hands them to the driver's side from a kernel worker, later
            // still on a busy machine. A poll on the slave side waits for
            // that worker, so the next transfer's flush sees them all.
            pollfd waiter{lineSide_, POLLIN, 0};
            poll(&waiter, 1, 0);
        }
        const uint64_t seen = sim_.GetCounters().requests_seen;
        if (seen != sent_) {
            *why = "the simulator saw " + std::to_string(seen) + " requests, the driver's log " +
                   "accounts for " + std::to_string(sent_);
            sent_ = seen;
            return false;
        }
#else
        (void)tally, (void)why;
#endif
        return true;
    }

    void PrintFaults() const {
#if defined(VAVE8_SOAK_HAVE_SIM)
        if (!Direct()) return;
        const p8sim::Counters c = sim_.GetCounters();
        std::printf("faults injected    %10" PRIu64 "  (requests %" PRIu64 ")\n", c.FaultsTotal(),
                    c.requests_seen);
        std::string kinds;
        for (size_t k = 1; k < p8sim::kFaultKinds; ++k) {
            if (c.faults[k] == 0) continue;
            kinds += std::string(" ") + p8sim::FaultName(static_cast<p8sim::FaultKind>(k)) + " " +
                     std::to_string(c.faults[k]);
        }
        if (!kinds.empty()) std::printf("  by kind:%s\n", kinds.c_str());
        std::printf("  writes applied by the PLC %" PRIu64 ", replies sent %" PRIu64 "\n",
                    c.writes_applied, c.replies_sent);
#endif
    }

    uint64_t FaultsInjected() const {
#if defined(VAVE8_SOAK_HAVE_SIM)
        if (Direct()) return sim_.GetCounters().FaultsTotal();
#endif
        return 0;
    }

    uint64_t Holds() const { return guard_.Holds(); }

private:
    const Options& options_;
    hostlib::LineGuard guard_;
    std::string portName_;
    uint64_t sent_ = 0;
#if defined(VAVE8_SOAK_HAVE_SIM)
    p8sim::Simulator sim_;
    int lineSide_ = -1;  // the line's slave side, as the driver sees it
#endif
};

constexpr size_t kAreaGuard = 32;
constexpr int kDetailLimit = 20;

class Soak {
public:
    Soak(const Options& options, soak::Host& host, Plc& plc, soak::Shadow& shadow)
        : options_(options), host_(host), plc_(plc), shadow_(shadow), rng_(options.seed) {}

    bool Connect(std::string* error);
    void Run();
    void Finish();
    void Report(double seconds) const;
    bool Passed() const;

private:
    struct Outcome {
        int32_t result = -1;
        Bytes before;  // the value area before the call
        Bytes after;
        Lines lines;
    };

    bool Transfer(const Op& op, Outcome* out);
    void RunOp(const Op& op);
    void CheckRead(const Op& op, const Outcome& out);
    void CheckWrite(const Op& op, const Outcome& out);
    // PLC bytes through the driver, retried until a read succeeds.
    bool ReadBack(int station, uint32_t byteAddr, uint32_t n, Bytes* out);
    bool PlcBytes(int station, uint32_t byteAddr, uint32_t n, Bytes* out);
    void CompareWindows(const char* when);
    void Housekeeping(uint64_t n);
    void Violation(uint64_t* counter, const Op* op, const std::string& what,
                   const Lines& lines = {});
    void CountLines(const Lines& lines);

    const Options& options_;
    soak::Host& host_;
    Plc& plc_;
    soak::Shadow& shadow_;
    soak::Rng rng_;
    Tally tally_;
    int details_ = 0;
};

void Soak::Violation(uint64_t* counter, const Op* op, const std::string& what, const Lines& lines) {
    ++*counter;
    if (details_++ >= kDetailLimit) return;
    std::printf("vave8soak: %s%s%s\n", what.c_str(), op != nullptr ? ": " : "",
                op != nullptr ? op->Describe().c_str() : "");
    for (const std::string& line : lines) std::printf("    %s\n", line.c_str());
    std::fflush(stdout);
}

void Soak::CountLines(const Lines& lines) {
    for (const std::string& line : lines) {
        if (!Contains(line, " retry ")) continue;
        if (Contains(line, "ERROR block")) {
            ++tally_.errorBlocks;
        } else if (Contains(line, "UNKNOWN block")) {
            ++tally_.unknownBlocks;
        } else if (Contains(line, "short block")) {
            ++tally_.shortBlocks;
        } else if (Contains(line, "Read reply error")) {
            ++tally_.replyErrors;
        } else if (Contains(line, "Send request error")) {
            ++tally_.sendErrors;
        }
    }
}

bool Soak::Connect(std::string* error) {
    StartParams start;
    std::memset(&start, 0, sizeof start);
    std::snprintf(start.portName, sizeof start.portName, "%s", plc_.PortName().c_str());
    start.openFlag = 1;
    start.timeoutTicks = options_.timeoutTicks;
    start.line = LineParams{9600, 8, 0, options_.parity};
    const int32_t result = host_.Call(FN_COLD_START, &start);
    host_.TakeLines();
    if (result != NUV_OK) {
        *error = "ColdStart on " + plc_.PortName() + " answered " + std::to_string(result);
        return false;
    }
    return true;
}

// Parses the gate as a host does, then makes the transfer on a value area of
// exactly the size it needs, between guard bytes.
bool Soak::Transfer(const Op& op, Outcome* out) {
    GateParse parse;
    std::memset(&parse, 0x5A, sizeof parse);
    parse.address = op.address.c_str();
    parse.gateType = op.gateType;
    parse.blockSize = op.parsedCount;
    const int32_t parsed =
        host_.Call(op.IsBlock() ? FN_BLOCK_ADDRESS_PARSER : FN_SINGLE_ADDRESS_PARSER, &parse);
    const Lines parseLines = host_.TakeLines();
    const int32_t item = static_cast<int32_t>(op.byteAddr) / op.ItemBytes();
    if (parsed != NUV_OK || !parseLines.empty() || parse.station != op.station ||
        parse.memoryType != op.type || parse.itemAddress != item || parse.bitNumber != op.bit ||
        parse.valueWidth != (op.ItemBytes() == 4 ? 32 : 16)) {
        Violation(
            &tally_.violations, &op,
            "the parser did not give the gate's fields (result " + std::to_string(parsed) + ")",
            parseLines);
        return false;
    }

    GateTransfer gate;
    for (size_t i = 0; i < sizeof gate; ++i) reinterpret_cast<uint8_t*>(&gate)[i] = rng_.Byte();
    gate.station = parse.station;
    gate.memoryType = parse.memoryType;
    gate.itemAddress = parse.itemAddress;
    gate.bitNumber = parse.bitNumber;
    gate.valueWidth = parse.valueWidth;
    gate.count = op.count;

    const size_t size = op.AreaSize();
    Bytes buffer(kAreaGuard + size + kAreaGuard);
    for (uint8_t& b : buffer) b = rng_.Byte();
    gate.value = buffer.data() + kAreaGuard;
    const Bytes whole = buffer;
    GateTransfer record;
    std::memcpy(&record, &gate, sizeof gate);

    static const uint32_t kFunction[] = {FN_SINGLE_READ, FN_BLOCK_READ, FN_SINGLE_WRITE,
                                         FN_BLOCK_WRITE};
    out->result = host_.Call(kFunction[static_cast<int>(op.kind)], &gate);
    out->lines = host_.TakeLines();
    out->before.assign(whole.begin() + kAreaGuard, whole.end() - kAreaGuard);
    out->after.assign(buffer.begin() + kAreaGuard, buffer.end() - kAreaGuard);
    CountLines(out->lines);

    if (!std::equal(buffer.begin(), buffer.begin() + kAreaGuard, whole.begin()) ||
        !std::equal(buffer.end() - kAreaGuard, buffer.end(), whole.end() - kAreaGuard)) {
        Violation(&tally_.corruption, &op, "bytes written outside the value area", out->lines);
    }
    if (std::memcmp(&record, &gate, sizeof gate) != 0) {
        Violation(&tally_.corruption, &op, "the transfer record came back changed", out->lines);
    }
    if (!host_.GuardsWhole()) {
        Violation(&tally_.corruption, &op, "bytes written past the instance or the call block",
                  out->lines);
    }
    if (out->result != NUV_OK && out->result != NUV_REJECTED && out->result != NUV_FAILED) {
        Violation(&tally_.otherResult, &op, "result " + std::to_string(out->result), out->lines);
    }

    std::string why;
    if (!plc_.AfterTransfer(out->result, out->lines, RequestsSent(op, out->result, out->lines),
                            &tally_, &why)) {
        Violation(&tally_.violations, &op, why, out->lines);
    }
    return true;
}

bool Soak::ReadBack(int station, uint32_t byteAddr, uint32_t n, Bytes* out) {
    const Op op = soak::ByteBlockRead(station, byteAddr, static_cast<int32_t>(n));
    for (int attempt = 0; attempt < 25; ++attempt) {
        Outcome o;
        ++tally_.verifyReads;
        if (!Transfer(op, &o)) return false;
        if (o.result != NUV_OK) continue;
        out->assign(n, 0);
        for (uint32_t i = 0; i < n; ++i) {
            (*out)[i] = o.after[2 * i];
            if (o.after[2 * i + 1] != 0) {
                Violation(&tally_.falseSuccess, &op, "a byte slot with its high byte set", o.lines);
            }
        }
        return true;
    }
    ++tally_.verifyGaveUp;
    return false;
}

bool Soak::PlcBytes(int station, uint32_t byteAddr, uint32_t n, Bytes* out) {
    if (plc_.Direct()) {
        *out = plc_.Memory(station, byteAddr, n);
        return true;
    }
    return ReadBack(station, byteAddr, n, out);
}

void Soak::CheckRead(const Op& op, const Outcome& out) {
    const Bytes plc = shadow_.Range(op.station, op.byteAddr, op.Span());
    if (plc_.Direct() && plc_.Memory(op.station, op.byteAddr, op.Span()) != plc) {
        Violation(&tally_.corruption, &op, "PLC memory differs from the shadow before this read");
    }
    if (out.result == NUV_OK) {
        if (out.after != soak::AreaAfterRead(op, out.before, plc)) {
            Violation(
                &tally_.falseSuccess, &op,
                "read gave 0 with other values than the PLC holds (PLC " + soak::Hex(plc) + ")",
                out.lines);
        }
    } else if (out.after != out.before) {
        Violation(&tally_.corruption, &op, "a failed read changed the value area", out.lines);
    }
}

void Soak::CheckWrite(const Op& op, const Outcome& out) {
    if (out.after != soak::AreaAfterWrite(op, out.before)) {
        Violation(&tally_.corruption, &op, "a write changed the value area", out.lines);
    }
    const uint32_t span = op.Span();
    const Bytes old = shadow_.Range(op.station, op.byteAddr, span);
    const Bytes written = soak::BytesWritten(op, out.before, old);
    Bytes now;
    if (!PlcBytes(op.station, op.byteAddr, span, &now)) {
        Violation(&tally_.violations, &op, "PLC memory could not be read back after a write");
        shadow_.SetRange(op.station, op.byteAddr, out.result == NUV_OK ? written : old);
        return;
    }
    if (out.result == NUV_OK) {
        if (now != written) {
            Violation(
                &tally_.falseSuccess, &op,
                "write gave 0 but the PLC holds " + soak::Hex(now) + ", not " + soak::Hex(written),
                out.lines);
        }
    } else if (now == old) {
        ++tally_.unchangedAfterFailure;
    } else if (now == written) {
        ++tally_.appliedDespiteFailure;
    } else {
        Violation(&tally_.corruption, &op,
                  "failed write left " + soak::Hex(now) + ": neither the old " + soak::Hex(old) +
                      " nor the new " + soak::Hex(written),
                  out.lines);
    }
    shadow_.SetRange(op.station, op.byteAddr, now);
}

void Soak::RunOp(const Op& op) {
    Outcome out;
    if (!Transfer(op, &out)) return;
    ++tally_.transfers;
    ++(op.IsWrite() ? tally_.writes : tally_.reads);
    switch (out.result) {
        case NUV_OK:
            ++tally_.ok;
            break;
        case NUV_REJECTED:
            ++tally_.result1;
            break;
        case NUV_FAILED:
            ++tally_.result2;
            break;
        default:
            break;
    }
    if (options_.verbose && out.result != NUV_OK) {
        std::printf("vave8soak: result %d: %s\n", out.result, op.Describe().c_str());
        for (const std::string& line : out.lines) std::printf("    %s\n", line.c_str());
    }

    if (op.expectRefusal) {
        ++tally_.refusalsAsked;
        const std::string line = op.kind == Kind::BlockRead
                                     ? "VAVE8> BlockRead(), blocksize too big"
                                     : "VAVE8> BlockWrite(), blocksize too big";
        if (out.result != NUV_REJECTED || out.after != out.before || out.lines != Lines{line}) {
            Violation(&tally_.violations, &op,
                      "a count no request can carry was not refused (result " +
                          std::to_string(out.result) + ", count " + std::to_string(op.count) + ")",
                      out.lines);
        }
        return;
    }
    if (out.result == NUV_REJECTED) {
        Violation(&tally_.violations, &op, "a valid transfer was refused", out.lines);
    }
    if (out.result == NUV_FAILED && options_.faultRate == 0) {
        Violation(&tally_.violations, &op, "a transfer failed on a line without faults", out.lines);
    }
    if (op.IsWrite()) {
        CheckWrite(op, out);
    } else {
        CheckRead(op, out);
    }
}

void Soak::CompareWindows(const char* when) {
    for (int station : soak::kStations) {
        for (uint32_t o = 0; o < soak::kWindowBytes; o += 256) {
            const uint32_t addr = soak::WindowAddress(o);
            Bytes now;
            if (!PlcBytes(station, addr, 256, &now)) {
                Violation(&tally_.violations, nullptr,
                          std::string("PLC memory could not be read ") + when);
                continue;
            }
            const Bytes expected = shadow_.Range(station, addr, 256);
            if (now != expected) {
                Violation(&tally_.corruption, nullptr,
                          std::string("PLC memory differs from the shadow ") + when +
                              " at station " + std::to_string(station) + " byte " +
                              std::to_string(addr) + ": " + soak::Hex(now) + " instead of " +
                              soak::Hex(expected));
            }
        }
    }
}

void Soak::Housekeeping(uint64_t n) {
    // What a host does between scans now and then: drop stale input, and
    // close and reopen the port.
    if (n % 211 == 210) {
        if (host_.Call(FN_WARM_START, nullptr) != NUV_OK) {
            Violation(&tally_.violations, nullptr, "WarmStart failed", host_.TakeLines());
        }
        host_.TakeLines();
    }
    if (n % 1009 == 1008) {
        const int32_t closed = host_.Call(FN_CLOSE_COM, nullptr);
        const int32_t opened = host_.Call(FN_REOPEN_COM, nullptr);
        const Lines lines = host_.TakeLines();
        if (closed != NUV_OK || opened != NUV_OK) {
            Violation(&tally_.violations, nullptr, "closing and reopening the port failed", lines);
        }
    }
    if (plc_.Direct() && n % 256 == 255) CompareWindows("during the run");
}

void Soak::Run() {
    const uint64_t step = options_.transactions >= 10 ? options_.transactions / 10 : 1;
    const auto start = std::chrono::steady_clock::now();
    for (uint64_t n = 0; n < options_.transactions; ++n) {
        RunOp(soak::RandomOp(rng_, 2));
        Housekeeping(n);
        if ((n + 1) % step == 0 && n + 1 < options_.transactions) {
            const double s =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            std::printf("vave8soak: %" PRIu64 " transfers, %.0f s, %" PRIu64 " failed, %" PRIu64
                        " false successes, %" PRIu64 " corruptions\n",
                        n + 1, s, tally_.result2, tally_.falseSuccess, tally_.corruption);
            std::fflush(stdout);
        }
    }
}

void Soak::Finish() {
    CompareWindows("at the end");
    if (plc_.Direct()) {
        // Every byte of every station, the windows' surroundings included.
        for (int station = 0; station < soak::kStationCount; ++station) {
            const Bytes all = plc_.Memory(station, 0, soak::kStationBytes);
            if (!std::equal(all.begin(), all.end(), shadow_.Image(station))) {
                Violation(&tally_.corruption, nullptr,
                          "PLC memory of station " + std::to_string(station) +
                              " differs from the shadow outside the windows");
            }
        }
    }
    const int32_t ended = host_.Call(FN_END_NUV, nullptr);
    const Lines lines = host_.TakeLines();
    if (ended != NUV_OK) Violation(&tally_.violations, nullptr, "EndNuv failed", lines);
}

bool Soak::Passed() const {
    const bool faultsSeen = !plc_.Direct() || options_.faultRate == 0 || plc_.FaultsInjected() > 0;
    return tally_.falseSuccess == 0 && tally_.corruption == 0 && tally_.violations == 0 &&
           tally_.otherResult == 0 && tally_.verifyGaveUp == 0 && tally_.settleTimeouts == 0 &&
           tally_.ok > 0 && faultsSeen;
}

void Soak::Report(double seconds) const {
    const Tally& t = tally_;
    std::printf("\nvave8soak: seed %" PRIu64
                ", fault rate %.3f, timeout %d ticks, port %s%s, "
                "%.1f s\n",
                options_.seed, options_.faultRate, options_.timeoutTicks, plc_.PortName().c_str(),
                plc_.Direct() ? " (simulator in-process)" : "", seconds);
    std::printf("transactions       %10" PRIu64 "  (reads %" PRIu64 ", writes %" PRIu64
                ", over-limit counts %" PRIu64 ")\n",
                t.transfers, t.reads, t.writes, t.refusalsAsked);
    plc_.PrintFaults();
    std::printf("successes          %10" PRIu64 "\n", t.ok);
    std::printf("failures result 1  %10" PRIu64 "  (over-limit counts refused: %" PRIu64 ")\n",
                t.result1, t.refusalsAsked);
    std::printf("failures result 2  %10" PRIu64 "\n", t.result2);
    std::printf("  failed attempts: ERROR block %" PRIu64 ", UNKNOWN block %" PRIu64
                ", short block %" PRIu64 ", no reply or bad frame %" PRIu64 ", send %" PRIu64 "\n",
                t.errorBlocks, t.unknownBlocks, t.shortBlocks, t.replyErrors, t.sendErrors);
    std::printf("other results      %10" PRIu64 "\n", t.otherResult);
    std::printf("failed writes: applied despite failure %" PRIu64 ", unchanged %" PRIu64 "\n",
                t.appliedDespiteFailure, t.unchangedAfterFailure);
    std::printf("read-backs         %10" PRIu64 "  (gave up %" PRIu64 ")\n", t.verifyReads,
                t.verifyGaveUp);
    std::printf("false successes    %10" PRIu64 "\n", t.falseSuccess);
    std::printf("corruptions        %10" PRIu64 "\n", t.corruption);
    std::printf("other violations   %10" PRIu64 "  (settle timeouts %" PRIu64 ")\n", t.violations,
                t.settleTimeouts);
    if (options_.noSettle) {
        std::printf("no settling: line held by the guard after %" PRIu64 " transfers, %.1f/s\n",
                    plc_.Holds(), seconds > 0 ? static_cast<double>(t.transfers) / seconds : 0.0);
    }
    std::printf("vave8soak: %s\n", Passed() ? "PASS" : "FAIL");
    std::fflush(stdout);
}

int Prepare(const Options& options) {
    soak::Shadow shadow;
    shadow.Seed(options.seed);
    std::string error;
    if (!shadow.WriteImage(options.prepare, &error)) {
        std::fprintf(stderr, "vave8soak: %s\n", error.c_str());
        return 2;
    }
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.6f", options.faultRate);
    std::printf("--load\n%s\n--random\n%s\n--seed\n%" PRIu64 "\n--random-kinds\n%s\n",
                options.prepare.c_str(), rate, options.seed,
                FaultKinds(options.timeoutTicks, options.noSettle).c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    int exitCode = 0;
    if (!ParseOptions(argc, argv, &options, &exitCode)) return exitCode;
    if (!options.prepare.empty()) return Prepare(options);

    soak::Shadow shadow;
    shadow.Seed(options.seed);
    soak::Host host;
    std::string error;
    const std::string module = options.module.empty() ? soak::DefaultModulePath() : options.module;
    if (!host.Load(module, &error) || !host.Allocate(&error)) {
        std::fprintf(stderr, "vave8soak: %s\n", error.c_str());
        return 2;
    }
    Plc plc(options);
    if (!plc.Start(shadow, &error)) {
        std::fprintf(stderr, "vave8soak: %s\n", error.c_str());
        return 2;
    }
    Soak run(options, host, plc, shadow);
    if (!run.Connect(&error)) {
        std::fprintf(stderr, "vave8soak: %s\n", error.c_str());
        plc.Stop();
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    run.Run();
    run.Finish();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.Report(seconds);
    plc.Stop();
    if (!options.dumpShadow.empty() && !shadow.WriteImage(options.dumpShadow, &error)) {
        std::fprintf(stderr, "vave8soak: %s\n", error.c_str());
        return 2;
    }
    return run.Passed() ? 0 : 1;
}
