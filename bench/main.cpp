// vave8bench: what a transaction of the driver costs, against the simulated
// PLC over a pseudo-terminal, with libmodbus doing the same job beside it.
//
// The driver is loaded and driven as a host does (see driver_host.h). The
// simulated PLC and the libmodbus server run in child processes, so the CPU
// time taken from this thread is the host side's alone. The run prints a
// table, writes every figure as JSON when asked, and exits 0 whether or not
// the targets were met (a missed one is marked MISSED); 1 only when it could
// not run at all.
//
// When strace is installed, a second short pass of this program runs under
// it to count every system call of each kind of transaction by name (the
// timed run counts only the C library's read, write, poll and select).
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/children.h"
#include "bench/driver_host.h"
#include "bench/measure.h"
#include "bench/report.h"
#include "bench/trace_count.h"
#include "bench/yardstick.h"

namespace bench {
namespace {

const char kUsage[] =
    "usage: vave8bench [options]\n"
    "\n"
    "Measures the driver module against the simulated PLC (p8sim) over a\n"
    "pseudo-terminal, with a libmodbus RTU client and server as the yardstick.\n"
    "\n"
    "  --json FILE          write every figure as JSON\n"
    "  --seconds S          length of each run (default 2)\n"
    "  --rounds N           alternating rounds of the 256-byte read against\n"
    "                       libmodbus, 2 x S in all for each (default 4)\n"
    "  --silent-reads N     reads of a silent station (default 5)\n"
    "  --silent-ticks T     their read time limit in ticks of 10 ms (default 10)\n"
    "  --paced-seconds S    length of each paced run (default 1.5)\n"
    "  --traced N           transactions of each kind in the strace pass (default 100;\n"
    "                       0 leaves the pass out)\n"
    "  --quick              a short run: --seconds 0.25 --rounds 2 --silent-reads 2\n"
    "                       --paced-seconds 0.4 --traced 20\n"
    "  --module PATH        the driver module (default: libvave8.so beside this program)\n"
    "  --sim PATH           the simulator program (default: p8sim beside this program)\n"
    "  --yardstick-reads N  only N libmodbus reads of 125 registers, untimed (for\n"
    "                       counting instructions under callgrind; see callgrind.sh)\n"
    "  --help               this text\n";

constexpr int32_t kTicks = 100;          // read time limit of the measured runs
constexpr double kSilentSlack = 1.05;    // a silent read may overrun by this much
constexpr double kCpuShareLimit = 0.01;  // at 115200 baud, 256-byte reads
constexpr double kCpuShareAim = 0.001;
constexpr double kWriteReadLimit = 1.5;  // 256-byte block write CPU / block read CPU
constexpr double kCallsLimit = 4;        // system calls per transaction, strace pass
constexpr double kTracedPassSeconds = 120;
constexpr uint32_t kPacedBauds[] = {9600, 115200};
// The simulated line answers stations 0 to 7; the silent one is 9.
const char kStations[] = "0-7";
const char kSilentGate[] = "0940100";

// The kinds of transaction measured against the unpaced line. The read
// area (nibbles 0x0000 to 0x01FF) is written once before the reads; the
// writes go to areas of their own and are read back afterwards.
struct KindPlan {
    const char* key;
    const char* label;
    const char* address;
    bool block;
    int32_t count;
    uint32_t function;
    int payloadBytes;
};

const KindPlan kKinds[] = {
    {"single_read_word", "single read '4'", "0140100", false, 1, FN_SINGLE_READ, 2},
    {"block_read_byte_256", "block read '2' x256", "0120000", true, 256, FN_BLOCK_READ, 256},
    {"block_read_word_128", "block read '4' x128", "0140000", true, 128, FN_BLOCK_READ, 256},
    {"block_write_byte_256", "block write '2' x256", "0120800", true, 256, FN_BLOCK_WRITE, 256},
    {"block_write_word_128", "block write '4' x128", "0140A00", true, 128, FN_BLOCK_WRITE, 256},
};
// The one compared with libmodbus's 125 registers.
const char kComparedKind[] = "block_read_byte_256";
// The block write set against the block read of the same size.
const char kBlockWriteKind[] = "block_write_byte_256";
const char kYardstickKey[] = "libmodbus_read_125_registers";

struct Options {
    std::string json;
    double seconds = 2.0;
    int rounds = 4;
    int silentReads = 5;
    int32_t silentTicks = 10;
    double pacedSeconds = 1.5;
    int traced = 100;
    bool tracedPass = false;  // this process is the pass under strace
    int yardstickReads = -1;  // >= 0: only this many libmodbus reads
    std::string module;
    std::string sim;
};

std::string BesideThisProgram(const char* name) {
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return name;
    std::string path(self, static_cast<size_t>(length));
    return path.substr(0, path.rfind('/') + 1) + name;
}

bool ParseNumber(const char* text, double low, double high, double* out) {
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(value >= low && value <= high)) return false;
    *out = value;
    return true;
}

// 0 to go on, 1 for a usage error, 2 after --help.
int ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        double number = 0;
        auto numeric = [&](double low, double high) {
            ++i;
            return value != nullptr && ParseNumber(value, low, high, &number);
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 2;
        } else if (a == "--quick") {
            o->seconds = 0.25;
            o->rounds = 2;
            o->silentReads = 2;
            o->pacedSeconds = 0.4;
            o->traced = 20;
        } else if (a == "--traced-pass") {
            o->tracedPass = true;
        } else if (a == "--json" && value != nullptr) {
            o->json = value;
            ++i;
        } else if (a == "--module" && value != nullptr) {
            o->module = value;
            ++i;
        } else if (a == "--sim" && value != nullptr) {
            o->sim = value;
            ++i;
        } else if (a == "--seconds" && numeric(0.01, 600)) {
            o->seconds = number;
        } else if (a == "--rounds" && numeric(1, 100)) {
            o->rounds = static_cast<int>(number);
        } else if (a == "--silent-reads" && numeric(0, 100)) {
            o->silentReads = static_cast<int>(number);
        } else if (a == "--silent-ticks" && numeric(1, 1000)) {
            o->silentTicks = static_cast<int32_t>(number);
        } else if (a == "--paced-seconds" && numeric(0, 600)) {
            o->pacedSeconds = number;
        } else if (a == "--traced" && numeric(0, 100000)) {
            o->traced = static_cast<int>(number);
        } else if (a == "--yardstick-reads" && numeric(0, 1000000)) {
            o->yardstickReads = static_cast<int>(number);
        } else {
            std::fprintf(stderr, "vave8bench: bad option %s\n%s", a.c_str(), kUsage);
            return 1;
        }
    }
    if (o->module.empty()) o->module = BesideThisProgram("libvave8.so");
    if (o->sim.empty()) o->sim = BesideThisProgram("p8sim");
    return 0;
}

void ReadLoad(double (&load)[3]) {
    std::FILE* f = std::fopen("/proc/loadavg", "r");
    if (f == nullptr) return;
    if (std::fscanf(f, "%lf %lf %lf", &load[0], &load[1], &load[2]) != 3) load[0] = -1;
    std::fclose(f);
}

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &utc);
    return text;
}

// The named program in one of the PATH folders, or "".
std::string FindInPath(const char* name) {
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/bin:/bin";
    size_t from = 0;
    while (from <= folders.size()) {
        size_t to = folders.find(':', from);
        if (to == std::string::npos) to = folders.size();
        const std::string candidate = folders.substr(from, to - from) + "/" + name;
        if (to > from && access(candidate.c_str(), X_OK) == 0) return candidate;
        from = to + 1;
    }
    return "";
}

// --- what the simulated memory holds --------------------------------------

// Byte i of the area the reads use: every value once in 256 bytes, 0xF1
// and 0x59 included, so each reply carries doubled bytes as real data would.
uint8_t ReadAreaByte(int i) {
    return static_cast<uint8_t>((i * 37 + 11) & 0xFF);
}

// Byte i of the areas the writes fill, counted from each area's start.
uint8_t WriteAreaByte(int i) {
    return static_cast<uint8_t>((i * 73 + 5) & 0xFF);
}

uint16_t Slot16(const Gate& gate, int index) {
    uint16_t v = 0;
    std::memcpy(&v, gate.values + 2 * index, sizeof v);
    return v;
}

void SetSlot16(Gate* gate, int index, uint16_t v) {
    std::memcpy(gate->values + 2 * index, &v, sizeof v);
}

uint16_t Word(uint8_t (*byteAt)(int), int i) {
    return static_cast<uint16_t>(byteAt(2 * i) << 8 | byteAt(2 * i + 1));
}

// Fills a block gate's value area with the bytes `byteAt` gives, as '2'
// slots (one byte each) or '4' slots (one word each).
void FillBlock(Gate* gate, uint8_t (*byteAt)(int)) {
    for (int i = 0; i < gate->count; ++i) {
        SetSlot16(gate, i, gate->transfer.memoryType == MEM_BYTE ? byteAt(i) : Word(byteAt, i));
    }
}

bool BlockHolds(const Gate& gate, uint8_t (*byteAt)(int)) {
    for (int i = 0; i < gate.count; ++i) {
        const uint16_t want = gate.transfer.memoryType == MEM_BYTE ? byteAt(i) : Word(byteAt, i);
        if (Slot16(gate, i) != want) return false;
    }
    return true;
}

// Whether a read gate holds what the read area holds; single reads here
// are of '4' items, whose item address is the word's index.
bool ReadGateRight(const Gate& gate) {
    if (gate.block) return BlockHolds(gate, ReadAreaByte);
    return Slot16(gate, 1) == Word(ReadAreaByte, gate.transfer.itemAddress);
}

Gate MakeGate(const char* address, bool block, int32_t count) {
    Gate gate;
    gate.address = address;
    gate.block = block;
    gate.count = count;
    return gate;
}

Gate MakeGate(const KindPlan& plan) {
    return MakeGate(plan.address, plan.block, plan.count);
}

// --- the runs -------------------------------------------------------------

class Bench {
public:
    Bench(const Options& options, Results* results) : o_(options), r_(results) {}

    bool RunAll() {
        std::string error;
        if (!module_.Load(o_.module, &error)) return Fail(error);
        if (!MeasureUnpaced()) return false;
        MeasurePaced();
        End();
        return true;
    }

    // The pass under strace: each kind a fixed number of times between
    // marks, nothing timed, nothing printed.
    bool RunTracedPass() {
        std::string error;
        if (!module_.Load(o_.module, &error)) return Fail(error);
        Child sim;
        std::string pty;
        if (!StartSimulator(&sim, 0, &pty)) return false;
        Connection c(&module_);
        if (!Open(&c, pty, kTicks) || !PrepareReadArea(&c)) return false;
        for (const KindPlan& plan : kKinds) {
            Gate gate = MakeGate(plan);
            if (!Configure(&c, &gate)) return false;
            if (plan.function == FN_BLOCK_WRITE) FillBlock(&gate, WriteAreaByte);
            TracedPhase(plan.key, [&] { c.Transfer(plan.function, &gate); });
        }
        Yardstick yardstick;
        if (Yardstick::Available() && yardstick.Start(&error)) {
            TracedPhase(kYardstickKey, [&] { yardstick.Read(); });
        }
        yardstick.Stop();
        c.CloseCom();
        End();
        return true;
    }

private:
    template <typename Transaction>
    void TracedPhase(const std::string& key, Transaction&& transaction) {
        constexpr int kWarmup = 5;
        for (int i = 0; i < kWarmup; ++i) transaction();
        MarkPhase("begin", key);
        for (int i = 0; i < o_.traced; ++i) transaction();
        MarkPhase("end", key);
    }

    void End() {
        r_->nuvCalls = module_.Calls();
        r_->heapCallsAllCalls = module_.HeapCalls();
        // The module ends for good: nothing may call it after this.
        Connection last(&module_);
        last.EndNuv();
    }

    bool Fail(const std::string& what) {
        r_->problems.push_back(what);
        std::fprintf(stderr, "vave8bench: %s\n", what.c_str());
        return false;
    }

    void Problem(const std::string& what) {
        r_->problems.push_back(what);
        std::fprintf(stderr, "vave8bench: %s (last driver line: %s)\n", what.c_str(),
                     DriverModule::LastLogLine());
    }

    bool StartSimulator(Child* sim, uint32_t paceBaud, std::string* pty) {
        // The idle exit only backs up the parent-death signal.
        std::vector<std::string> args = {"--stations", kStations, "--idle-exit", "120"};
        if (paceBaud != 0) {
            args.push_back("--pace");
            args.push_back(std::to_string(paceBaud));
        }
        std::string error;
        if (!sim->StartSimulator(o_.sim, args, pty, &error)) return Fail(error);
        return true;
    }

    bool Open(Connection* connection, const std::string& pty, int32_t ticks) {
        const int32_t result = connection->ColdStart(pty, ticks);
        if (result != NUV_OK) {
            return Fail("ColdStart on " + pty + " answered " + std::to_string(result) + ": " +
                        DriverModule::LastLogLine());
        }
        return true;
    }

    bool Configure(Connection* connection, Gate* gate) {
        const int32_t result = connection->Configure(gate);
        if (result != NUV_OK) {
            return Fail("the parser refused " + gate->address + ": " + DriverModule::LastLogLine());
        }
        return true;
    }

    // Writes the read area once, untimed, so the reads bring known bytes.
    bool PrepareReadArea(Connection* connection) {
        Gate gate = MakeGate("0120000", true, 256);
        if (!Configure(connection, &gate)) return false;
        FillBlock(&gate, ReadAreaByte);
        const int32_t result = connection->Transfer(FN_BLOCK_WRITE, &gate);
        if (result != NUV_OK) {
            return Fail("writing the read area answered " + std::to_string(result) + ": " +
                        DriverModule::LastLogLine());
        }
        return true;
    }

    RunLimits Limits(double seconds) const {
        RunLimits limits;
        limits.seconds = seconds;
        return limits;
    }

    void RunTransfers(Connection* c, uint32_t function, Gate* gate, double seconds,
                      Figures* figures) {
        RunTransactions([&] { return c->Transfer(function, gate) == NUV_OK; }, Limits(seconds),
                        figures);
    }

    // One kind on its own. Afterwards a read gate is checked against the
    // read area, and a write gate's area is read back and checked.
    void MeasureKind(Connection* c, const KindPlan& plan, KindResult* kind) {
        Gate gate = MakeGate(plan);
        if (!Configure(c, &gate)) return;
        if (plan.function != FN_BLOCK_WRITE) {
            RunTransfers(c, plan.function, &gate, o_.seconds, &kind->figures);
            kind->valuesRight = ReadGateRight(gate);
        } else {
            FillBlock(&gate, WriteAreaByte);
            RunTransfers(c, plan.function, &gate, o_.seconds, &kind->figures);
            std::memset(gate.values, 0, sizeof gate.values);
            kind->valuesRight =
                c->Transfer(FN_BLOCK_READ, &gate) == NUV_OK && BlockHolds(gate, WriteAreaByte);
        }
        if (kind->figures.failures != 0) Problem(kind->label + ": transactions failed");
    }

    // The compared kind and libmodbus's 125 registers, in alternating
    // rounds so that both see the same load on a shared machine.
    void MeasureAgainstYardstick(Connection* c, const KindPlan& plan, KindResult* kind) {
        KindResult& y = r_->yardstick;
        y.key = kYardstickKey;
        y.label = "libmodbus read 125 registers";
        y.payloadBytes = 2 * kYardstickRegisters;

        Yardstick yardstick;
        std::string error;
        if (Yardstick::Available()) {
            r_->env.libmodbus = Yardstick::Version();
            r_->haveYardstick = yardstick.Start(&error);
            if (!r_->haveYardstick) r_->yardstickNote = error;
        } else {
            r_->yardstickNote = "built without libmodbus (pkg-config found no libmodbus)";
        }

        Gate gate = MakeGate(plan);
        if (!Configure(c, &gate)) return;
        const double share = 2 * o_.seconds / o_.rounds;
        for (int round = 0; round < o_.rounds; ++round) {
            RunTransfers(c, plan.function, &gate, share, &kind->figures);
            if (r_->haveYardstick)
                RunTransactions([&] { return yardstick.Read(); }, Limits(share), &y.figures);
        }
        kind->valuesRight = ReadGateRight(gate);
        if (kind->figures.failures != 0) Problem(kind->label + ": transactions failed");
        if (r_->haveYardstick) {
            y.valuesRight = yardstick.LastReadMatches();
            if (y.figures.failures != 0) Problem("libmodbus: requests failed");
        }
        yardstick.Stop();
    }

    void MeasureSilent(Connection* c, const std::string& pty) {
        SilentResult& s = r_->silent;
        s.ticks = o_.silentTicks;
        s.expectedSeconds = 3 * o_.silentTicks * 0.010;
        if (o_.silentReads == 0) return;
        if (c->CloseCom() != NUV_OK || !Open(c, pty, o_.silentTicks)) return;
        Gate gate = MakeGate(kSilentGate, false, 1);
        if (!Configure(c, &gate)) return;
        s.ran = true;
        const uint64_t heapBefore = module_.HeapCalls();
        const uint64_t linesBefore = DriverModule::LogLines();
        for (int i = 0; i < o_.silentReads; ++i) {
            const double start = NowSeconds();
            const int32_t result = c->Transfer(FN_SINGLE_READ, &gate);
            s.seconds.push_back(NowSeconds() - start);
            if (result == NUV_FAILED) ++s.failedAsExpected;
        }
        s.heapCalls = module_.HeapCalls() - heapBefore;
        s.logLines = DriverModule::LogLines() - linesBefore;
        if (s.failedAsExpected != o_.silentReads)
            Problem("a read of the silent station did not fail");
    }

    bool MeasureUnpaced() {
        Child sim;
        std::string pty;
        if (!StartSimulator(&sim, 0, &pty)) return false;
        Connection c(&module_);
        if (!Open(&c, pty, kTicks) || !PrepareReadArea(&c)) return false;

        r_->kinds.resize(std::size(kKinds));
        for (size_t i = 0; i < std::size(kKinds); ++i) {
            const KindPlan& plan = kKinds[i];
            KindResult& kind = r_->kinds[i];
            kind.key = plan.key;
            kind.label = plan.label;
            kind.payloadBytes = plan.payloadBytes;
            if (kind.key == kComparedKind) {
                MeasureAgainstYardstick(&c, plan, &kind);
            } else {
                MeasureKind(&c, plan, &kind);
            }
        }
        MeasureSilent(&c, pty);
        c.CloseCom();
        return true;
    }

    void MeasurePaced() {
        if (o_.pacedSeconds <= 0) return;
        for (uint32_t baud : kPacedBauds) {
            Child sim;
            std::string pty;
            if (!StartSimulator(&sim, baud, &pty)) return;
            Connection c(&module_);
            if (!Open(&c, pty, kTicks) || !PrepareReadArea(&c)) return;
            Gate gate = MakeGate("0120000", true, 256);
            if (!Configure(&c, &gate)) return;

            r_->paced.emplace_back();
            PacedResult& p = r_->paced.back();
            p.baud = baud;
            RunLimits limits = Limits(o_.pacedSeconds);
            limits.minTransactions = 3;
            limits.warmup = 1;
            RunTransactions([&] { return c.Transfer(FN_BLOCK_READ, &gate) == NUV_OK; }, limits,
                            &p.figures);
            p.valuesRight = ReadGateRight(gate);
            if (p.figures.failures != 0) Problem("paced reads failed at " + std::to_string(baud));
            c.CloseCom();
        }
    }

    const Options& o_;
    Results* r_;
    DriverModule module_;
};

// Only the yardstick's reads, each checked: what callgrind.sh counts
// libmodbus's instructions on.
int RunYardstickReads(int reads) {
    Yardstick yardstick;
    std::string error;
    if (!yardstick.Start(&error)) {
        std::fprintf(stderr, "vave8bench: %s\n", error.c_str());
        return 1;
    }
    int right = 0;
    for (int i = 0; i < reads; ++i) right += yardstick.Read() && yardstick.LastReadMatches();
    yardstick.Stop();
    std::printf("%d of %d libmodbus reads right\n", right, reads);
    return right == reads ? 0 : 1;
}

// --- the strace pass ------------------------------------------------------

// Runs this program's traced pass under strace and files the counts per
// transaction with each kind.
void CountEverySystemCall(const Options& o, Results* r) {
    if (o.traced <= 0) {
        r->tracedNote = "strace pass left out";
        return;
    }
    const std::string strace = FindInPath("strace");
    if (strace.empty()) {
        r->tracedNote = "strace not installed: pass left out";
        return;
    }
    char file[] = "/tmp/vave8bench-trace-XXXXXX";
    const int fd = mkstemp(file);
    if (fd < 0) {
        r->tracedNote = "no temporary file for the trace";
        return;
    }
    close(fd);
    // One process only: the simulator and the libmodbus server are its
    // children and stay untraced. Strings long enough to show the marks.
    const std::vector<std::string> args = {"-qq",
                                           "-s",
                                           "96",
                                           "-o",
                                           file,
                                           "--",
                                           BesideThisProgram("vave8bench"),
                                           "--traced-pass",
                                           "--traced",
                                           std::to_string(o.traced),
                                           "--module",
                                           o.module,
                                           "--sim",
                                           o.sim};
    Child child;
    std::string error;
    int status = -1;
    if (child.Exec(strace, args, &error)) status = child.Wait(kTracedPassSeconds);
    std::ifstream in(file);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(file);
    if (status != 0) {
        r->tracedNote = "strace pass failed" + (error.empty() ? "" : ": " + error);
        return;
    }

    const TracedCalls counted = CountTracedCalls(text);
    auto file_with = [&](KindResult* kind) {
        const auto found = counted.find(kind->key);
        if (found == counted.end()) return;
        for (const auto& [name, count] : found->second) {
            kind->traced.emplace_back(name, static_cast<double>(count) / o.traced);
        }
        std::sort(kind->traced.begin(), kind->traced.end(),
                  [](const auto& a, const auto& b) { return a.second > b.second; });
    };
    for (KindResult& kind : r->kinds) file_with(&kind);
    if (r->haveYardstick) file_with(&r->yardstick);
    r->tracedNote = "strace pass, " + std::to_string(o.traced) + " transactions of each kind";
}

// --- the verdicts ---------------------------------------------------------

std::string Printed(const char* format, double a, double b = 0, double c = 0) {
    char text[160];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

const KindResult* FindKind(const Results& r, const std::string& key) {
    for (const KindResult& kind : r.kinds) {
        if (kind.key == key) return &kind;
    }
    return nullptr;
}

void JudgeTargets(Results* r) {
    auto add = [r](std::string name, std::string measured, std::string limit, bool met) {
        r->targets.push_back(Target{std::move(name), std::move(measured), std::move(limit), met});
    };
    const KindResult* compared = FindKind(*r, kComparedKind);
    if (compared != nullptr && compared->figures.transactions > 0) {
        const Figures& f = compared->figures;
        const double cpu = f.PerTransaction(f.CpuSeconds());
        const char* name = "256-byte read CPU / libmodbus 125-register CPU";
        if (r->haveYardstick && r->yardstick.figures.transactions > 0) {
            const Figures& y = r->yardstick.figures;
            const double theirs = y.PerTransaction(y.CpuSeconds());
            const double ratio = cpu / theirs;
            add(name, Printed("%.3f (%.1f us / %.1f us)", ratio, cpu * 1e6, theirs * 1e6), "<= 1",
                ratio <= 1.0);
        } else {
            add(name, "no yardstick", "<= 1", false);
        }
        const double share = CpuShareOfLine(f, 115200);
        add("256-byte read CPU share of line time, 115200",
            Printed("%.4f%%", share * 100) +
                (share < kCpuShareAim ? " (aim 0.1%: met)" : " (aim 0.1%: not met)"),
            "< 1%", share < kCpuShareLimit);
    }

    const KindResult* write = FindKind(*r, kBlockWriteKind);
    if (compared != nullptr && write != nullptr && compared->figures.transactions > 0 &&
        write->figures.transactions > 0) {
        const double reads = compared->figures.PerTransaction(compared->figures.CpuSeconds());
        const double writes = write->figures.PerTransaction(write->figures.CpuSeconds());
        add("256-byte block write CPU / block read CPU",
            Printed("%.3f (%.1f us / %.1f us)", writes / reads, writes * 1e6, reads * 1e6),
            Printed("<= %.1f", kWriteReadLimit), writes / reads <= kWriteReadLimit);
    }

    // Every system call of the strace pass, per read and per write transaction.
    double mostCalls = -1;
    std::string mostKind;
    for (const KindResult& kind : r->kinds) {
        if (kind.traced.empty()) continue;
        double calls = 0;
        for (const auto& named : kind.traced) calls += named.second;
        if (calls > mostCalls) {
            mostCalls = calls;
            mostKind = kind.label;
        }
    }
    if (mostCalls >= 0) {
        add("system calls per transaction, most of any kind",
            Printed("%.2f", mostCalls) + " (" + mostKind + ")", Printed("<= %.0f", kCallsLimit),
            mostCalls <= kCallsLimit);
    }

    uint64_t transactions = 0;
    uint64_t heap = 0;
    for (const KindResult& kind : r->kinds) {
        transactions += kind.figures.transactions;
        heap += kind.figures.inside.HeapCalls();
    }
    add("heap calls inside NuvMain per transaction",
        Printed(
            "%.3f (%.0f in %.0f transactions)",
            transactions == 0 ? 0.0 : static_cast<double>(heap) / static_cast<double>(transactions),
            static_cast<double>(heap), static_cast<double>(transactions)),
        "0", heap == 0 && r->heapCallsAllCalls == 0);

    const SilentResult& s = r->silent;
    if (s.ran && !s.seconds.empty()) {
        const double low = Percentile(s.seconds, 0) / s.expectedSeconds;
        const double median = Percentile(s.seconds, 50) / s.expectedSeconds;
        add("silent station read / (3 x read time limit)",
            Printed("median %.4f, min %.4f, max %.4f", median, low,
                    Percentile(s.seconds, 100) / s.expectedSeconds),
            Printed("min >= 1, median <= %.2f", kSilentSlack),
            low >= 1.0 && median <= kSilentSlack);
    }

    bool answered = true;
    for (const KindResult& kind : r->kinds) {
        answered = answered && kind.figures.failures == 0 && kind.valuesRight;
    }
    for (const PacedResult& p : r->paced) {
        answered = answered && p.figures.failures == 0 && p.valuesRight;
    }
    add("every transaction answered, values right", answered ? "yes" : "no", "yes", answered);
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    using namespace bench;
    Options options;
    const int parsed = ParseOptions(argc, argv, &options);
    if (parsed != 0) return parsed == 2 ? 0 : 64;

    if (options.yardstickReads >= 0) return RunYardstickReads(options.yardstickReads);
    Results results;
    if (options.tracedPass) {
        Bench bench(options, &results);
        return bench.RunTracedPass() ? 0 : 1;
    }

    Environment& env = results.env;
    env.date = UtcNow();
    utsname system{};
    if (uname(&system) == 0) env.kernel = std::string(system.sysname) + " " + system.release;
    env.cpus = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
    ReadLoad(env.loadStart);
    env.module = options.module;
    env.simulator = options.sim;
    env.seconds = options.seconds;
    env.rounds = options.rounds;

    const double start = NowSeconds();
    Bench bench(options, &results);
    const bool ran = bench.RunAll();
    if (ran) CountEverySystemCall(options, &results);
    env.wallSeconds = NowSeconds() - start;
    ReadLoad(env.loadEnd);

    JudgeTargets(&results);
    PrintTable(results);
    if (!options.json.empty()) {
        std::string error;
        if (!WriteJson(results, options.json, &error)) {
            std::fprintf(stderr, "vave8bench: %s\n", error.c_str());
            return 1;
        }
        std::printf("figures written to %s\n", options.json.c_str());
    }
    return ran ? 0 : 1;
}
