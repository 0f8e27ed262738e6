// vave8ctl demo: the driver, loaded as the host loads it, against the
// simulated PLC on a pseudo-terminal. Every step goes through NuvMain; the
// driver's log lines are shown as they come, under the step that caused
// them. Each step also checks what it got, so the demo doubles as a smoke
// test: any surprise makes it end with a nonzero exit code.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "sim/sim.h"
#include "tools/commands.h"
#include "tools/format.h"
#include "tools/session.h"

namespace vave8ctl {

namespace {

constexpr int kStation = 3;
// A short read time limit, so that a silent PLC costs three times 150 ms.
constexpr int32_t kDemoTicks = 15;

// Where the demo's values live in station 3 (nibble addresses).
constexpr uint16_t kWordBlockNibble = 0x0100;  // ten words, item 64 on
constexpr int32_t kWordCount = 10;
constexpr uint16_t kByteNibble = 0x0020;  // the byte whose bit is set
constexpr uint16_t kDwordNibble = 0x0300;
constexpr uint16_t kFloatNibble = 0x0200;
constexpr uint8_t kByteBefore = 0x41;
constexpr float kPi = 3.14159f;
constexpr int32_t kDword = -123456;

std::vector<uint8_t> BigEndian(uint32_t value, int bytes) {
    std::vector<uint8_t> out;
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return out;
}

uint32_t FloatBits(float value) {
    uint32_t raw;
    std::memcpy(&raw, &value, sizeof raw);
    return raw;
}

uint16_t WordValue(int32_t index) {
    return static_cast<uint16_t>(100 * (index + 1));
}

class Demo {
public:
    Demo(std::string modulePath, bool trace) : modulePath_(std::move(modulePath)), trace_(trace) {}

    int Run();

private:
    bool StartSimulator();
    void Prefill();
    bool StartDriver();
    void Describe();
    void Connect();
    void ConfigureGates();
    void ReadWordBlock();
    void WriteWord();
    void SetAndClearBit();
    void ReadFloat();
    void RetriedError();
    void SilentPlc();
    void End();
    void Summary(double seconds);

    // Passes a gate through its parser once, as the host does when it loads
    // its configuration, and keeps the five results for the transfers.
    bool Configure(const std::string& address, bool block = false, int32_t count = 0);
    const GateParse& Gate(const std::string& address) { return gates_[address]; }
    const GateParse& BlockGate(const std::string& address) { return gates_[address + "/block"]; }
    // A transfer on a gate; the value area afterwards.
    int32_t Transfer(uint32_t function, const char* name, const GateParse& gate,
                     std::vector<uint8_t>* area, int32_t count = 1);
    uint32_t ReadSingle(const std::string& address, const GateParse& gate, int32_t expected);
    int32_t WriteSingle(const std::string& address, const GateParse& gate, uint32_t raw);
    uint8_t PlcByte(uint16_t nibble);

    void Heading(const std::string& text);
    void Expect(bool good, const std::string& what);

    std::string modulePath_;
    bool trace_;
    p8sim::Simulator sim_;
    Session session_;
    std::string port_;
    std::map<std::string, GateParse> gates_;
    int step_ = 0;
    int surprises_ = 0;
};

void Demo::Heading(const std::string& text) {
    std::printf("\n%d. %s\n", ++step_, text.c_str());
    std::fflush(stdout);
}

void Demo::Expect(bool good, const std::string& what) {
    if (good) return;
    ++surprises_;
    std::printf("  !! unexpected: %s\n", what.c_str());
}

bool Demo::StartSimulator() {
    if (trace_) {
        sim_.options().trace = [](const std::string& line) {
            std::printf("      plc> %s\n", line.c_str());
            std::fflush(stdout);
        };
    }
    std::string error;
    if (!sim_.Start(&error)) {
        std::fprintf(stderr, "vave8ctl: the simulated PLC did not start: %s\n", error.c_str());
        return false;
    }
    port_ = sim_.Path();
    if (port_.rfind("/dev/", 0) == 0) port_.erase(0, 5);
    if (port_.size() > kPortNameSize - 1) {
        std::fprintf(stderr, "vave8ctl: the pseudo-terminal %s has too long a name\n",
                     sim_.Path().c_str());
        return false;
    }
    std::printf("Simulated P8 PLC serving on %s; station %d prefilled.\n", sim_.Path().c_str(),
                kStation);
    return true;
}

void Demo::Prefill() {
    std::vector<uint8_t> words;
    for (int32_t i = 0; i < kWordCount; ++i) {
        for (uint8_t b : BigEndian(WordValue(i), 2)) words.push_back(b);
    }
    sim_.WriteMemory(kStation, kWordBlockNibble / 2, words);
    sim_.WriteMemory(kStation, kByteNibble / 2, {kByteBefore});
    sim_.WriteMemory(kStation, kFloatNibble / 2, BigEndian(FloatBits(kPi), 4));
    sim_.WriteMemory(kStation, kDwordNibble / 2, BigEndian(static_cast<uint32_t>(kDword), 4));
}

bool Demo::StartDriver() {
    Heading("The driver describes itself (GetNuvInfo)");
    session_.Host().SetLive(true, "    ");
    session_.SetTitleIndent("  ");
    return session_.Start(modulePath_, true);
}

void Demo::Describe() {
    const NuvInfo& info = session_.Info();
    std::printf("  %s: code %d, instance %d bytes, values %d and %d\n",
                info.name != nullptr ? info.name : "(no name)", info.code, info.instanceSize,
                info.four, info.three);
    std::printf("  default line: %s\n", DescribeLine(info.defaults).c_str());
    if (info.banner != nullptr) {
        const std::string banner = Cp437ToUtf8(info.banner);
        size_t start = banner.find_first_not_of('\n');
        while (start != std::string::npos && start < banner.size()) {
            const size_t end = banner.find('\n', start);
            std::printf("  %s\n", banner.substr(start, end - start).c_str());
            start = end == std::string::npos ? end : end + 1;
        }
    }
    Expect(info.instanceSize >= static_cast<int32_t>(sizeof(DriverInstance)),
           "instance size below the record's size");
}

void Demo::Connect() {
    Heading("Start the connection (ColdStart), a read time limit of 150 ms per byte");
    const LineParams line = session_.Info().defaults;
    const int32_t result = session_.ColdStart(port_, kDemoTicks, line, ShowLines::Always);
    Expect(result == NUV_OK, "ColdStart failed");
}

bool Demo::Configure(const std::string& address, bool block, int32_t count) {
    GateParse gate{};
    const int32_t memoryType = address.size() > 2 ? address[2] : 0;
    const bool bit = address.size() > 7 && address[7] != ' ';
    const uint32_t gateType = NaturalGateType(memoryType, bit ? 0 : -1);
    if (session_.Parse(address, block, gateType, count, &gate, false) != NUV_OK) return false;
    gates_[block ? address + "/block" : address] = gate;
    return true;
}

void Demo::ConfigureGates() {
    Heading("Configure gates of every memory type (address parsers)");
    const char* singles[] = {"0320020", "03200204", "0340100", "0340104", "0380300", "0390200"};
    for (const char* address : singles) {
        Expect(Configure(address), std::string("gate ") + address + " refused");
    }
    Expect(Configure("0340100", true, kWordCount), "block gate refused");
    std::printf("  Two refusals, as a host would see them:\n");
    GateParse refused{};
    Expect(session_.Parse("0340102", false, 1, 0, &refused, false) == NUV_REJECTED,
           "misaligned word accepted");
    Expect(session_.Parse("0390200", false, 1, 0, &refused, false) == NUV_REJECTED,
           "float accepted with a 16-bit gate type");
}

int32_t Demo::Transfer(uint32_t function, const char* name, const GateParse& gate,
                       std::vector<uint8_t>* area, int32_t count) {
    GateTransfer transfer = MakeTransfer(gate, count, area->data());
    session_.MarkBuffers();
    const int32_t result = session_.Step(name, function, &transfer, ShowLines::Always);
    if (trace_) session_.Trace(gate.memoryType, result);
    return result;
}

uint32_t Demo::ReadSingle(const std::string& address, const GateParse& gate, int32_t expected) {
    std::vector<uint8_t> area(4, 0);
    const int32_t result = Transfer(FN_SINGLE_READ, ("SingleRead " + address).c_str(), gate, &area);
    Expect(result == expected, "SingleRead " + address + " answered " + std::to_string(result));
    const uint32_t raw =
        LoadSlot(area.data(), SingleSlotOffset(gate.memoryType), SlotWidth(gate.memoryType));
    if (result == NUV_OK) {
        std::printf("    value %s\n",
                    FormatGateValue(gate.memoryType, gate.bitNumber >= 0, raw).c_str());
    }
    return raw;
}

int32_t Demo::WriteSingle(const std::string& address, const GateParse& gate, uint32_t raw) {
    std::vector<uint8_t> area(4, 0);
    StoreSlot(area.data(), SingleSlotOffset(gate.memoryType), SlotWidth(gate.memoryType), raw);
    const std::string title = "SingleWrite " + address + " <- " +
                              FormatGateValue(gate.memoryType, gate.bitNumber >= 0, raw);
    const int32_t result = Transfer(FN_SINGLE_WRITE, title.c_str(), gate, &area);
    Expect(result == NUV_OK, title + " answered " + std::to_string(result));
    return result;
}

uint8_t Demo::PlcByte(uint16_t nibble) {
    return sim_.ReadMemory(kStation, nibble / 2u, 1)[0];
}

void Demo::ReadWordBlock() {
    Heading("Read a block of ten words (BlockRead), prefilled with 100, 200, ... 1000");
    const GateParse& gate = BlockGate("0340100");
    std::vector<uint8_t> area(kWordCount * 2, 0);
    const int32_t result =
        Transfer(FN_BLOCK_READ, "BlockRead 0340100, 10 items", gate, &area, kWordCount);
    Expect(result == NUV_OK, "BlockRead failed");
    if (result != NUV_OK) return;
    for (int32_t i = 0; i < kWordCount; ++i) {
        const uint32_t raw = LoadSlot(area.data(), BlockSlotOffset('4', i), 16);
        std::printf("    item %d (0x%04X)  %s\n", gate.itemAddress + i,
                    static_cast<unsigned>(gate.itemAddress + i),
                    FormatGateValue('4', false, raw).c_str());
        Expect(raw == WordValue(i), "word " + std::to_string(i) + " differs from the PLC's");
    }
}

void Demo::WriteWord() {
    Heading("Write a word (SingleWrite) and read it back");
    const GateParse& gate = Gate("0340104");
    constexpr uint32_t kValue = 4242;
    WriteSingle("0340104", gate, kValue);
    const std::vector<uint8_t> plc = sim_.ReadMemory(kStation, 0x0104 / 2, 2);
    std::printf("  PLC memory at nibble 0x0104 now holds %s\n",
                HexBytes(plc.data(), plc.size()).c_str());
    Expect(ReadSingle("0340104", gate, NUV_OK) == kValue, "the word read back differs");
}

void Demo::SetAndClearBit() {
    Heading("Set and clear one bit: digit 4 (bit number 3) of the byte at nibble 0x0020");
    const GateParse& byteGate = Gate("0320020");
    const GateParse& bitGate = Gate("03200204");
    std::printf("  The PLC byte before: 0x%02X\n", PlcByte(kByteNibble));
    ReadSingle("0320020", byteGate, NUV_OK);
    std::printf("  A bit write reads the byte, changes the bit and writes the byte back:\n");
    WriteSingle("03200204", bitGate, 1);
    std::printf("  The PLC byte after setting: 0x%02X\n", PlcByte(kByteNibble));
    Expect(PlcByte(kByteNibble) == (kByteBefore | 0x08), "the bit was not set alone");
    Expect(ReadSingle("03200204", bitGate, NUV_OK) == 1, "the bit reads back as 0");
    WriteSingle("03200204", bitGate, 0);
    std::printf("  The PLC byte after clearing: 0x%02X\n", PlcByte(kByteNibble));
    Expect(PlcByte(kByteNibble) == kByteBefore, "the byte did not come back to 0x41");
}

void Demo::ReadFloat() {
    Heading("Read a float and a 32-bit integer");
    const uint32_t raw = ReadSingle("0390200", Gate("0390200"), NUV_OK);
    Expect(raw == FloatBits(kPi), "the float differs from 3.14159");
    const uint32_t dword = ReadSingle("0380300", Gate("0380300"), NUV_OK);
    Expect(dword == static_cast<uint32_t>(kDword), "the 32-bit integer differs");
}

void Demo::RetriedError() {
    Heading("The PLC answers ERROR 0x0C once: the driver tries again");
    p8sim::Fault fault;
    fault.kind = p8sim::FaultKind::kError;
    fault.param = 0x0C;
    sim_.PushFault(fault);
    const uint32_t raw = ReadSingle("0340100", Gate("0340100"), NUV_OK);
    Expect(raw == WordValue(0), "the retried read gave the wrong word");
}

void Demo::SilentPlc() {
    Heading("The PLC stays silent: three attempts, then the read fails");
    p8sim::Fault silence;
    silence.kind = p8sim::FaultKind::kSilence;
    for (int attempt = 0; attempt < 3; ++attempt) sim_.PushFault(silence);
    const GateParse& gate = Gate("0340100");
    const auto started = std::chrono::steady_clock::now();
    ReadSingle("0340100", gate, NUV_FAILED);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
            .count();
    std::printf("  Failed after %.0f ms (3 x %d ms read time limit)\n", ms, kDemoTicks * 10);
    Expect(sim_.PendingFaults() == 0, "not all three attempts were made");
    sim_.ClearFaults();
}

void Demo::End() {
    Heading("End the module (EndNuv)");
    const int32_t result = session_.End("EndNuv");
    Expect(result == NUV_OK, "EndNuv failed");
}

void Demo::Summary(double seconds) {
    const p8sim::Counters counters = sim_.GetCounters();
    std::printf(
        "\nSimulated PLC: %llu requests, %llu replies, %llu writes applied, %llu faults "
        "injected.\n",
        static_cast<unsigned long long>(counters.requests_seen),
        static_cast<unsigned long long>(counters.replies_sent),
        static_cast<unsigned long long>(counters.writes_applied),
        static_cast<unsigned long long>(counters.FaultsTotal()));
    if (surprises_ == 0) {
        std::printf("Demo done in %.1f s: every step gave what it should.\n", seconds);
    } else {
        std::printf("Demo done in %.1f s with %d unexpected results.\n", seconds, surprises_);
    }
}

int Demo::Run() {
    const auto started = std::chrono::steady_clock::now();
    std::printf("VAVE8 demo: the driver, loaded as a host loads it, against a simulated P8 PLC\n");
    if (!StartSimulator()) return EXIT_FAILED;
    Prefill();
    if (!StartDriver()) {
        sim_.Stop();
        return EXIT_FAILED;
    }
    Describe();
    Connect();
    if (surprises_ == 0) {
        ConfigureGates();
        ReadWordBlock();
        WriteWord();
        SetAndClearBit();
        ReadFloat();
        RetriedError();
        SilentPlc();
    }
    End();
    sim_.Stop();
    Summary(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    return surprises_ == 0 ? EXIT_OK : EXIT_FAILED;
}

}  // namespace

int RunDemo(const Options& options) {
    Demo demo(options.module.empty() ? DefaultModulePath() : options.module, options.trace);
    return demo.Run();
}

}  // namespace vave8ctl
