#include "tools/commands.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "host/line_guard.h"
#include "host/reply_times.h"
#include "tools/format.h"
#include "tools/session.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace vave8ctl {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;
// The tally as it stood after the last read, for a second Ctrl-C to print
// as it ends the tool from the handler.
char g_tally[224] = "";
volatile std::sig_atomic_t g_tallyLength = 0;

#if !defined(_WIN32)
void Say(const char* text, size_t length) {
    while (length > 0) {
        const ssize_t n = write(STDERR_FILENO, text, length);
        if (n <= 0) return;
        text += n;
        length -= static_cast<size_t>(n);
    }
}
#endif

// The first Ctrl-C (or SIGTERM) ends a poll once the read under way is
// done, so that it is shown and counted. A read with no time limit on a
// silent station is never done: the second ends the tool at once, from the
// handler, with the tally so far; exiting releases the port.
extern "C" void OnInterrupt(int signal) {
#if defined(_WIN32)
    (void)signal;
    g_interrupted = 1;
#else
    if (g_interrupted == 0) {
        g_interrupted = 1;
        constexpr char kWaiting[] =
            "\nvave8ctl: stopping after the read under way; Ctrl-C again stops at once\n";
        Say(kWaiting, sizeof kWaiting - 1);
        return;
    }
    constexpr char kStopped[] = "\nvave8ctl: stopped during a read; ";
    Say(kStopped, sizeof kStopped - 1);
    Say(g_tally, static_cast<size_t>(g_tallyLength));
    constexpr char kUncounted[] = " (the read under way not counted)\n";
    Say(kUncounted, sizeof kUncounted - 1);
    _exit(128 + signal);
#endif
}

void CatchInterrupt() {
#if defined(_WIN32)
    std::signal(SIGINT, OnInterrupt);
#else
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#endif
}

bool StdoutIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stdout)) != 0;
#else
    return isatty(fileno(stdout)) != 0;
#endif
}

std::string ModulePath(const Options& options) {
    return options.module.empty() ? DefaultModulePath() : options.module;
}

// The gate type a host gives a single gate of this address: taken from the
// memory type and bit digit as written, before the driver has looked at it.
uint32_t NaturalGateTypeOf(const std::string& address) {
    const int32_t memoryType = address.size() > 2 ? address[2] : 0;
    const int32_t bit = address.size() > 7 && address[7] != ' ' ? 0 : -1;
    return NaturalGateType(memoryType, bit);
}

// Starts the session and the connection for a command that talks to the PLC.
int StartConnection(const Options& options, Session* session) {
    if (!session->Start(ModulePath(options), options.verbose)) return EXIT_FAILED;
    WarnNoTimeLimit(options.ticks);
    const int32_t result =
        session->ColdStart(options.port, options.ticks, options.line, ShowLines::OnFailure);
    return ExitFor(result);
}

// Parses the address as a single gate, or as a block of `count` items. The
// driver takes more than it checks, as hosts rely on; what it passes over
// is said here.
int32_t ParseFor(const Options& options, Session* session, const std::string& address, bool block,
                 int32_t count, GateParse* gate) {
    if (const std::string ignored = IgnoredAddressCharacters(address); !ignored.empty()) {
        std::fprintf(stderr, "vave8ctl: warning: %s\n", ignored.c_str());
    }
    const bool natural = !options.gateType.has_value();
    const uint32_t gateType = options.gateType.value_or(NaturalGateTypeOf(address));
    const int32_t result = session->Parse(address, block, gateType, count, gate, natural && !block);
    const uint32_t fitting = NaturalGateType(gate->memoryType, gate->bitNumber);
    if (result == NUV_OK && !block &&
        std::string_view(GateTypeName(gateType)) != GateTypeName(fitting)) {
        std::fprintf(stderr,
                     "vave8ctl: warning: gate type %u (%s) does not suit memory type '%c' (%s), "
                     "whose gate type is %s; the driver does not check it here and transfers "
                     "the item as %d bits\n",
                     gateType, GateTypeName(gateType), MemoryTypeChar(gate->memoryType),
                     MemoryTypeName(gate->memoryType), GateTypeName(fitting), gate->valueWidth);
    }
    return result;
}

// A block past the memory type's last item wraps to item 0 in the driver.
// False (and why, on standard error) when the block runs past it.
bool BlockFits(const GateParse& gate, int32_t count, const char* consequence) {
    const int32_t last = LastItem(gate.memoryType);
    if (last < 0 || gate.itemAddress + count - 1 <= last) return true;
    std::fprintf(stderr,
                 "vave8ctl: %s: the block of %d items from item %d runs past item %d (0x%04X), the "
                 "last of memory type '%c'; the driver would go on at item 0\n",
                 consequence, count, gate.itemAddress, last, static_cast<unsigned>(last),
                 MemoryTypeChar(gate.memoryType));
    return false;
}

std::string ItemLabel(const GateParse& gate, int32_t index) {
    char text[64];
    const int32_t item = gate.itemAddress + index;
    std::snprintf(text, sizeof text, "item %5d (0x%04X)", item, static_cast<unsigned>(item));
    return text;
}

uint32_t SlotValue(const GateParse& gate, const std::vector<uint8_t>& area, bool block,
                   int32_t index) {
    const size_t offset =
        block ? BlockSlotOffset(gate.memoryType, index) : SingleSlotOffset(gate.memoryType);
    return LoadSlot(area.data(), offset, SlotWidth(gate.memoryType));
}

std::string ValueText(const GateParse& gate, uint32_t raw, bool block) {
    return FormatGateValue(gate.memoryType, !block && gate.bitNumber >= 0, raw);
}

void PrintValues(const GateParse& gate, const std::vector<uint8_t>& area, bool block, int32_t count,
                 const char* indent) {
    for (int32_t i = 0; i < count; ++i) {
        const uint32_t raw = SlotValue(gate, area, block, i);
        std::printf("%s%s  %s\n", indent, ItemLabel(gate, i).c_str(),
                    ValueText(gate, raw, block).c_str());
    }
}

// Room for `count` slots of the widest kind, and never less than a single
// 32-bit slot.
std::vector<uint8_t> ValueArea(int32_t count) {
    return std::vector<uint8_t>(static_cast<size_t>(std::max(count, 1)) * 4u, 0);
}

// One transfer as a step, with its trace when asked for.
int32_t Transfer(Session* session, const Options& options, uint32_t function, const char* name,
                 GateTransfer* transfer) {
    session->MarkBuffers();
    const int32_t result = session->Step(name, function, transfer, ShowLines::OnFailure);
    if (options.trace) session->Trace(transfer->memoryType, result);
    return result;
}

void PrintBanner(const char* banner) {
    if (banner == nullptr) return;
    const std::string text = Cp437ToUtf8(banner);
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        if (!(start == 0 && line.empty())) std::printf("    %s\n", line.c_str());
        start = end + 1;
    }
}

struct PollTally {
    uint64_t good = 0;
    uint64_t failed = 0;
    int32_t lastFailure = NUV_OK;
    double lastMs = 0;
    // The good reads' times: a poll left running for weeks keeps no more.
    hostlib::ReplyTimes goodTimes;

    std::string Line() const {
        char text[160];
        std::snprintf(text, sizeof text,
                      "reads %llu: good %llu, failed %llu; latency last %.1f ms, median %.1f ms",
                      static_cast<unsigned long long>(good + failed),
                      static_cast<unsigned long long>(good),
                      static_cast<unsigned long long>(failed), lastMs,
                      1e3 * goodTimes.Quantile(0.5));
        return text;
    }
};

// Waits `ms`, in short steps so that Ctrl-C is noticed at once.
void PauseUnlessInterrupted(uint32_t ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!g_interrupted && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// The read loop of poll: one transfer record reused for every read, values
// printed when they change, failures printed when they begin, and a tally
// that a terminal sees updated in place.
class Poller {
public:
    Poller(const Options& options, Session* session, const GateParse& gate)
        : options_(options),
          session_(session),
          gate_(gate),
          block_(options.count.has_value()),
          count_(options.count.value_or(1)),
          area_(ValueArea(count_)),
          transfer_(MakeTransfer(gate, count_, area_.data())),
          terminal_(StdoutIsTerminal() && !options.verbose),
          started_(std::chrono::steady_clock::now()),
          guard_(options.lateGuardMs
                     ? std::chrono::milliseconds(*options.lateGuardMs)
                     : hostlib::DefaultLateGuard(options.ticks, options.line)) {}

    int Run() {
        CatchInterrupt();
        KeepTally();
        std::printf("Polling every %u ms; Ctrl-C stops.\n", options_.intervalMs);
        std::fflush(stdout);
        // The first read runs even if Ctrl-C came before it: a poll that
        // was started shows at least one read.
        for (uint64_t n = 0; !options_.times || n < *options_.times; ++n) {
            if (n != 0) PauseUnlessInterrupted(PauseMs());
            if (n != 0 && g_interrupted) break;
            ReadOnce();
            if (g_interrupted) break;
        }
        if (terminal_) std::printf("\r\033[K");
        std::printf("%s%s\n", tally_.Line().c_str(), g_interrupted ? " (stopped)" : "");
        return ExitFor(tally_.lastFailure);
    }

private:
    void KeepTally() {
        const std::string line = tally_.Line();
        const size_t n = std::min(line.size(), sizeof g_tally - 1);
        g_tallyLength = 0;
        std::memcpy(g_tally, line.data(), n);
        g_tallyLength = static_cast<std::sig_atomic_t>(n);
    }

    // The interval, or longer while a late reply to the last read may still
    // come.
    uint32_t PauseMs() const {
        const auto hold = std::chrono::ceil<std::chrono::milliseconds>(
            guard_.ClearAt() - std::chrono::steady_clock::now());
        return hold.count() > options_.intervalMs ? static_cast<uint32_t>(hold.count())
                                                  : options_.intervalMs;
    }

    // Every read that ran is shown and counted, the one Ctrl-C waited for
    // as well.
    void ReadOnce() {
        session_->MarkBuffers();
        const auto before = std::chrono::steady_clock::now();
        const int32_t result =
            session_->Host().Call(block_ ? FN_BLOCK_READ : FN_SINGLE_READ, &transfer_);
        const auto after = std::chrono::steady_clock::now();
        const std::vector<LogLine> lines = session_->Host().TakeLines();
        std::vector<std::string> texts;
        for (const LogLine& line : lines) texts.push_back(line.text);
        guard_.Ended(hostlib::Disturbed(result, texts), after);
        tally_.lastMs = std::chrono::duration<double, std::milli>(after - before).count();
        const double at = std::chrono::duration<double>(after - started_).count();
        if (terminal_) std::printf("\r\033[K");
        if (result == NUV_OK) {
            ReportGood(at);
        } else {
            ReportFailure(at, result, lines);
        }
        if (options_.trace) session_->Trace(gate_.memoryType, result);
        if (terminal_) std::printf("%s", tally_.Line().c_str());
        std::fflush(stdout);
        KeepTally();
    }

    void ReportGood(double at) {
        ++tally_.good;
        tally_.goodTimes.Record(tally_.lastMs / 1e3);
        std::vector<uint32_t> current;
        for (int32_t i = 0; i < count_; ++i) current.push_back(SlotValue(gate_, area_, block_, i));
        for (size_t k = 0; k < current.size(); ++k) {
            if (!previous_.empty() && !lastFailed_ && current[k] == previous_[k]) continue;
            const auto index = static_cast<int32_t>(k);
            std::printf("%+9.3f s  %s  %s\n", at, ItemLabel(gate_, index).c_str(),
                        ValueText(gate_, current[k], block_).c_str());
        }
        previous_ = std::move(current);
        lastFailed_ = false;
    }

    void ReportFailure(double at, int32_t result, const std::vector<LogLine>& lines) {
        ++tally_.failed;
        tally_.lastFailure = result;
        if (!lastFailed_) {
            std::printf("%+9.3f s  read failed: %d (%s)\n", at, result, ResultName(result));
            session_->Host().PrintLines(lines);
        }
        lastFailed_ = true;
    }

    const Options& options_;
    Session* session_;
    GateParse gate_;
    bool block_;
    int32_t count_;
    std::vector<uint8_t> area_;
    GateTransfer transfer_;
    bool terminal_;
    std::chrono::steady_clock::time_point started_;
    hostlib::LineGuard guard_;
    PollTally tally_;
    std::vector<uint32_t> previous_;
    bool lastFailed_ = false;
};

}  // namespace

int RunInfo(const Options& options) {
    Session session;
    if (!session.Start(ModulePath(options), options.verbose)) return EXIT_FAILED;
    const NuvInfo& info = session.Info();
    std::printf("Driver module  %s\n", ModulePath(options).c_str());
    std::printf("GetNuvInfo: 0 (ok)\n");
    std::printf("  code            %d\n", info.code);
    std::printf("  name            %s\n", info.name != nullptr ? info.name : "(none)");
    std::printf("  instance size   %d bytes\n", info.instanceSize);
    std::printf("  value at 16     %d\n", info.four);
    std::printf("  default line    %s (fields %u, %u, %u, %u)\n",
                DescribeLine(info.defaults).c_str(), info.defaults.baud, info.defaults.dataBits,
                info.defaults.stopBits, info.defaults.parity);
    std::printf("  value at 28     %d\n", info.three);
    std::printf("  banner\n");
    PrintBanner(info.banner);
    return EXIT_OK;
}

int RunParse(const Options& options) {
    Session session;
    if (!session.Start(ModulePath(options), options.verbose)) return EXIT_FAILED;
    // The host's order holds even here: ColdStart (without a port) first.
    StartParams start = MakeStartParams("", kDefaultTicks, options.line);
    if (const int32_t r = session.QuietStep(FN_COLD_START, &start)) return ExitFor(r);
    GateParse gate{};
    const bool block = options.block.has_value();
    const int32_t result =
        ParseFor(options, &session, options.arguments[0], block, options.block.value_or(0), &gate);
    if (result == NUV_OK && block) BlockFits(gate, *options.block, "warning");
    return ExitFor(result);
}

int RunOpen(const Options& options) {
    Session session;
    if (!session.Start(ModulePath(options), options.verbose)) return EXIT_FAILED;
    WarnNoTimeLimit(options.ticks);
    const int32_t opened =
        session.ColdStart(options.port, options.ticks, options.line, ShowLines::Always);
    if (opened != NUV_OK) return ExitFor(opened);
    const int32_t flushed = session.Step("WarmStart", FN_WARM_START, nullptr, ShowLines::Always);
    const int32_t closed = session.Step("CloseCom", FN_CLOSE_COM, nullptr, ShowLines::Always);
    return ExitFor(flushed != NUV_OK ? flushed : closed);
}

int RunRead(const Options& options) {
    Session session;
    if (const int code = StartConnection(options, &session)) return code;
    const bool block = options.count.has_value();
    const int32_t count = options.count.value_or(1);
    GateParse gate{};
    if (const int32_t r = ParseFor(options, &session, options.arguments[0], block, count, &gate)) {
        return ExitFor(r);
    }
    if (block && !BlockFits(gate, count, "refused")) return EXIT_USAGE;
    std::vector<uint8_t> area = ValueArea(count);
    GateTransfer transfer = MakeTransfer(gate, count, area.data());
    const int32_t result =
        block ? Transfer(&session, options, FN_BLOCK_READ, "BlockRead", &transfer)
              : Transfer(&session, options, FN_SINGLE_READ, "SingleRead", &transfer);
    if (result == NUV_OK) PrintValues(gate, area, block, count, "  ");
    return ExitFor(result);
}

namespace {

// Checks the values against the memory type and fills the value area; false
// (with the reason printed) when one does not fit.
bool FillValues(const std::vector<std::string>& texts, int32_t memoryType, bool isBit, bool block,
                std::vector<uint8_t>* area, bool sayRounding = false) {
    for (size_t i = 0; i < texts.size(); ++i) {
        uint32_t raw = 0;
        std::string error;
        std::string note;
        if (!ParseGateValue(memoryType, isBit, texts[i], &raw, &error, &note)) {
            std::fprintf(stderr, "vave8ctl: value %zu: %s\n", i + 1, error.c_str());
            return false;
        }
        if (sayRounding && !note.empty()) {
            std::fprintf(stderr, "vave8ctl: warning: value %zu: %s\n", i + 1, note.c_str());
        }
        const auto index = static_cast<int32_t>(i);
        const size_t offset =
            block ? BlockSlotOffset(memoryType, index) : SingleSlotOffset(memoryType);
        StoreSlot(area->data(), offset, SlotWidth(memoryType), raw);
    }
    return true;
}

}  // namespace

int RunWrite(const Options& options) {
    const std::string& address = options.arguments[0];
    const std::vector<std::string> texts(options.arguments.begin() + 1, options.arguments.end());
    const bool block = texts.size() > 1;
    const auto count = static_cast<int32_t>(texts.size());
    std::vector<uint8_t> area = ValueArea(count);
    // Values that cannot fit are a usage error, found before any port is
    // opened when the text names its memory type; the driver's parse decides.
    const int32_t writtenType = address.size() > 2 ? address[2] : 0;
    if (ItemBytes(writtenType) != 0) {
        const bool writtenBit = !block && NaturalGateTypeOf(address) == 6;
        if (!FillValues(texts, writtenType, writtenBit, block, &area)) return EXIT_USAGE;
    }
    Session session;
    if (const int code = StartConnection(options, &session)) return code;
    GateParse gate{};
    if (const int32_t r = ParseFor(options, &session, address, block, count, &gate)) {
        return ExitFor(r);
    }
    if (block && !BlockFits(gate, count, "refused")) return EXIT_USAGE;
    const bool isBit = !block && gate.bitNumber >= 0;
    if (!FillValues(texts, gate.memoryType, isBit, block, &area, true)) return EXIT_USAGE;
    std::printf("Values to write:\n");
    PrintValues(gate, area, block, count, "  ");
    GateTransfer transfer = MakeTransfer(gate, count, area.data());
    const int32_t result =
        block ? Transfer(&session, options, FN_BLOCK_WRITE, "BlockWrite", &transfer)
              : Transfer(&session, options, FN_SINGLE_WRITE, "SingleWrite", &transfer);
    return ExitFor(result);
}

int RunPoll(const Options& options) {
    Session session;
    if (const int code = StartConnection(options, &session)) return code;
    GateParse gate{};
    if (const int32_t r = ParseFor(options, &session, options.arguments[0],
                                   options.count.has_value(), options.count.value_or(1), &gate)) {
        return ExitFor(r);
    }
    if (options.count && !BlockFits(gate, *options.count, "refused")) return EXIT_USAGE;
    Poller poller(options, &session, gate);
    return poller.Run();
}

#if !defined(VAVE8CTL_HAVE_DEMO)
int RunDemo(const Options&) {
#if defined(_WIN32)
    std::fprintf(stderr, "vave8ctl: demo runs on Linux only\n");
#else
    std::fprintf(stderr, "vave8ctl: this vave8ctl was built without the simulated PLC\n");
#endif
    return EXIT_USAGE;
}
#endif

}  // namespace vave8ctl
