// vave8.dll end to end under Wine: a stand-in host reads and writes PLC memory
// through NuvMain over a COM port mapped to the simulated PLC's
// pseudo-terminal. Station 7 is set up to answer every request with an ERROR
// block (code 0x0A). Usage: wine_e2e_test COMn [soak rounds]
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "abi32.h"
#include "check.h"
#include "driver/records.h"
#include "hostsvc/hostsvc.h"
#include "hostsvc/module_loader.h"

namespace {

using NuvMainFn = int32_t(VAVE8_API*)(NuvCall*);
NuvMainFn g_nuvMain = nullptr;
const char* g_port = "COM6";
int g_soakRounds = 300;

alignas(8) unsigned char g_storage[kInstanceSize];
DriverInstance* const g_inst = reinterpret_cast<DriverInstance*>(g_storage);

int g_errorLines = 0;
char g_lastLine[200] = "";
void Sink(void*, int, const char* text) {
    if (std::strstr(text, "ERROR block") != nullptr) ++g_errorLines;
    std::snprintf(g_lastLine, sizeof g_lastLine, "%s", text);
}

int32_t Call(uint32_t function, void* args) {
    NuvCall call;
    std::memset(&call, 0, sizeof call);
    call.instance = g_inst;
    call.function = function;
    call.args = args;
    return abi32::CallNuvMain(g_nuvMain, &call);
}

// A gate as the parser leaves it, for `address`.
GateTransfer Gate(const char* address, uint32_t gateType, int32_t count, uint8_t* value) {
    GateParse parse;
    std::memset(&parse, 0, sizeof parse);
    parse.address = address;
    parse.gateType = gateType;
    parse.blockSize = count;
    const uint32_t fn = count > 1 ? FN_BLOCK_ADDRESS_PARSER : FN_SINGLE_ADDRESS_PARSER;
    CHECK_EQ(Call(fn, &parse), NUV_OK);
    return hostlib::MakeTransfer(parse, count, value);
}

void Put16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, 2); }
void Put32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
uint16_t Get16(const uint8_t* p) { uint16_t v; std::memcpy(&v, p, 2); return v; }
uint32_t Get32(const uint8_t* p) { uint32_t v; std::memcpy(&v, p, 4); return v; }

void TestStart() {
    check::Context("ColdStart on %s", g_port);
    StartParams start;
    std::memset(&start, 0, sizeof start);
    std::snprintf(start.portName, sizeof start.portName, "%s", g_port);
    start.openFlag = 1;
    start.timeoutTicks = 50;
    start.line = LineParams{9600, 8, 0, 0};  // a pseudo-terminal has no parity
    CHECK_EQ(Call(FN_COLD_START, &start), NUV_OK);
    CHECK_EQ(Call(FN_WARM_START, nullptr), NUV_OK);
}

void TestSingles() {
    struct Row {
        const char* address;
        uint32_t gateType;
        uint32_t value;  // 16-bit kinds at offset 2, 32-bit kinds at offset 0
        bool wide;
    };
    const Row rows[] = {
        {"0120010", 0, 0xA5, false},
        {"0120012", 0, 0x11, false},  // an XON byte on the line
        {"0240100", 1, 0xF159, false},  // the frame's start pair as data
        {"0380040", 4, 0x13F15912u, true},
        {"0390080", 3, 0x40490FDBu, true},  // 3.14159274f as raw bits
    };
    for (const Row& row : rows) {
        check::Context("single write and read of %s", row.address);
        uint8_t value[8] = {0xEE, 0xEE, 0, 0, 0, 0, 0, 0};
        if (row.wide) {
            Put32(value, row.value);
        } else {
            Put16(value + 2, static_cast<uint16_t>(row.value));
        }
        GateTransfer gate = Gate(row.address, row.gateType, 1, value);
        CHECK_EQ(Call(FN_SINGLE_WRITE, &gate), NUV_OK);
        uint8_t back[8] = {0xEE, 0xEE, 0, 0, 0, 0, 0, 0};
        gate.value = back;
        CHECK_EQ(Call(FN_SINGLE_READ, &gate), NUV_OK);
        if (row.wide) {
            CHECK_EQ(Get32(back), row.value);
        } else {
            CHECK_EQ(Get16(back + 2), row.value);
            CHECK(back[0] == 0xEE && back[1] == 0xEE);
        }
    }

    check::Context("bit write");
    uint8_t value[4] = {0, 0, 0, 0};
    Put16(value + 2, 0x81);
    GateTransfer byteGate = Gate("0120020", 0, 1, value);
    CHECK_EQ(Call(FN_SINGLE_WRITE, &byteGate), NUV_OK);
    Put16(value + 2, 1);
    GateTransfer bitGate = Gate("01200203", 6, 1, value);  // digit 3: bit 4
    CHECK_EQ(bitGate.bitNumber, 4);
    CHECK_EQ(Call(FN_SINGLE_WRITE, &bitGate), NUV_OK);
    CHECK_EQ(Call(FN_SINGLE_READ, &byteGate), NUV_OK);
    CHECK_EQ(Get16(value + 2), 0x91);
    CHECK_EQ(Call(FN_SINGLE_READ, &bitGate), NUV_OK);
    CHECK_EQ(Get16(value + 2), 1);
}

void TestBlocks() {
    struct Row {
        const char* address;
        int32_t count;
        int width;  // bytes per slot of the value area
    };
    const Row rows[] = {{"0520000", 256, 2}, {"0540400", 128, 2}, {"0580800", 64, 4}, {"0590C00", 64, 4}};
    for (const Row& row : rows) {
        check::Context("block write and read of %d items at %s", row.count, row.address);
        uint8_t out[512];
        uint8_t in[512];
        const bool bytes = row.address[2] == '2';
        for (int i = 0; i < row.count; ++i) {
            if (row.width == 2) {
                Put16(out + 2 * i, static_cast<uint16_t>(bytes ? (i * 37 + 0x11) & 0xFF : i * 0x0101 + 0xF159));
            } else {
                Put32(out + 4 * i, 0xF1591300u + static_cast<uint32_t>(i) * 0x01010101u);
            }
        }
        GateTransfer gate = Gate(row.address, 0, row.count, out);
        CHECK_EQ(Call(FN_BLOCK_WRITE, &gate), NUV_OK);
        std::memset(in, 0xEE, sizeof in);
        gate.value = in;
        CHECK_EQ(Call(FN_BLOCK_READ, &gate), NUV_OK);
        CHECK(std::memcmp(in, out, static_cast<size_t>(row.count * row.width)) == 0);
    }

    check::Context("the request of a block read of ten words of station 3 at nibble 0x0100");
    uint8_t words[20];
    GateTransfer gate = Gate("0340100", 0, 10, words);
    CHECK_EQ(Call(FN_BLOCK_READ, &gate), NUV_OK);
    const uint8_t request[] = {0xA2, 0x03, 0x01, 0x00, 0x01, 0x27};
    CHECK(std::memcmp(g_inst->request, request, sizeof request) == 0);
}

void TestErrorBlock() {
    check::Context("station 7 answers with an ERROR block, code 0x0A");
    uint8_t value[4] = {};
    GateTransfer gate = Gate("0740000", 0, 1, value);
    g_errorLines = 0;
    const ULONGLONG start = GetTickCount64();
    CHECK_EQ(Call(FN_SINGLE_READ, &gate), NUV_FAILED);
    // A final error code ends the transaction at its first attempt.
    CHECK_EQ(g_errorLines, 1);
    CHECK_EQ(g_inst->reply[0], 1);
    CHECK_EQ(g_inst->reply[3], 0x0A);
    CHECK(GetTickCount64() - start < 5000);
    CHECK_EQ(Call(FN_SINGLE_WRITE, &gate), NUV_FAILED);
}

// Reads and writes back to back, each checked, within a bounded time.
void TestSoak() {
    check::Context("soak of %d rounds", g_soakRounds);
    const ULONGLONG start = GetTickCount64();
    int bad = 0;
    int round = 0;
    for (; round < g_soakRounds && GetTickCount64() - start < 120000; ++round) {
        uint8_t out[64];
        uint8_t in[64];
        for (int i = 0; i < 32; ++i) Put16(out + 2 * i, static_cast<uint16_t>(round * 131 + i * 7));
        GateTransfer gate = Gate("0A41000", 0, 32, out);
        if (Call(FN_BLOCK_WRITE, &gate) != NUV_OK) ++bad;
        std::memset(in, 0, sizeof in);
        gate.value = in;
        if (Call(FN_BLOCK_READ, &gate) != NUV_OK || std::memcmp(in, out, sizeof in) != 0) ++bad;
    }
    check::Record(bad == 0, __FILE__, __LINE__, "%d of %d rounds failed, last line: %s", bad, round,
                  g_lastLine);
    check::Record(round == g_soakRounds, __FILE__, __LINE__, "only %d rounds in 120 s", round);
    check::Note("%d rounds of a 32-word write and read in %llu ms", round, GetTickCount64() - start);
}

#if defined(__i386__)
// The records as a 32-bit host lays them out: built and read back at their
// byte offsets, never through the driver's structs, each followed by bytes
// that must stay as they were.
int32_t RawCall(void* instance, uint32_t function, void* args) {
    uint8_t block[20];  // instance, function, 8 bytes of the host's own, args
    std::memset(block, 0xA5, sizeof block);
    abi32::Put32(block, 0, reinterpret_cast<uint32_t>(instance));
    abi32::Put32(block, 4, function);
    abi32::Put32(block, 16, reinterpret_cast<uint32_t>(args));
    const int32_t rc = abi32::CallNuvMain(g_nuvMain, block);
    CHECK(abi32::Get(block, 8, 4) == 0xA5A5A5A5u && abi32::Get(block, 12, 4) == 0xA5A5A5A5u);
    return rc;
}

void TestRecords32() {
    using abi32::Field;
    constexpr uint8_t kFill = 0xEE;

    check::Context("GetNuvInfo at 32-bit offsets");
    uint8_t info[32 + 16];
    std::memset(info, kFill, sizeof info);
    CHECK_EQ(RawCall(nullptr, FN_GET_NUV_INFO, info), NUV_OK);
    const Field infoFields[] = {{0, 4, 70, "code"},     {12, 4, 554, "instanceSize"},
                                {16, 4, 4, "four"},     {20, 2, 9600, "baud"},
                                {22, 2, 8, "dataBits"}, {24, 2, 0, "stopBits"},
                                {26, 2, 2, "parity"},   {28, 4, 3, "three"}};
    abi32::CheckFields("NuvInfo", info, infoFields, 32, sizeof info, kFill, __LINE__);
    CHECK_STR(reinterpret_cast<const char*>(abi32::Get(info, 4, 4)), "Philips P8 PLC");
    CHECK_EQ(std::strlen(reinterpret_cast<const char*>(abi32::Get(info, 8, 4))), 181);

    check::Context("ColdStart at 32-bit offsets on %s", g_port);
    uint8_t start[28] = {};
    std::snprintf(reinterpret_cast<char*>(start), 12, "%s", g_port);
    abi32::Put32(start, 12, 1);   // open the port
    abi32::Put32(start, 16, 50);  // ticks
    abi32::Put16(start, 20, 9600);
    abi32::Put16(start, 22, 8);
    alignas(8) uint8_t inst[kInstanceSize + 16];
    std::memset(inst, kFill, sizeof inst);
    CHECK_EQ(RawCall(inst, FN_COLD_START, start), NUV_OK);
    const Field instFields[] = {{0, 4, 50, "timeoutTicks"}, {20, 2, 9600, "baud"},
                                {22, 2, 8, "dataBits"},     {24, 2, 0, "stopBits"},
                                {26, 2, 0, "parity"},       {28, 2, 0x0303, "lineFlags"}};
    abi32::CheckFields("DriverInstance", inst, instFields, kInstanceSize, sizeof inst, kFill,
                       __LINE__);
    CHECK(abi32::Get(inst, 4, 4) != 0);  // the port's handle
    CHECK_STR(reinterpret_cast<const char*>(inst + 8), g_port);

    check::Context("address parse at 32-bit offsets");
    const char* address = "0340180";
    uint8_t parse[36 + 16];
    std::memset(parse, kFill, sizeof parse);
    abi32::Put32(parse, 0, reinterpret_cast<uint32_t>(address));
    abi32::Put32(parse, 8, 0);  // 16-bit gate
    abi32::Put32(parse, 12, 1);
    CHECK_EQ(RawCall(inst, FN_SINGLE_ADDRESS_PARSER, parse), NUV_OK);
    const Field parseFields[] = {{4, 4, 0xEEEEEEEEu, "hostOwn"},    {16, 4, 3, "station"},
                                 {20, 4, '4', "memoryType"},        {24, 4, 96, "itemAddress"},
                                 {28, 4, 0xFFFFFFFFu, "bitNumber"}, {32, 4, 16, "valueWidth"}};
    abi32::CheckFields("GateParse", parse, parseFields, 36, sizeof parse, kFill, __LINE__);

    check::Context("a write and a read at 32-bit offsets");
    uint8_t out[4] = {kFill, kFill, 0xEF, 0xBE};
    uint8_t gate[44 + 16];
    std::memset(gate, 0x5A, sizeof gate);   // the host's own bytes and what follows the record
    std::memcpy(gate + 8, parse + 16, 20);  // station .. valueWidth, as the host copies them
    abi32::Put32(gate, 32, 1);
    abi32::Put32(gate, 40, reinterpret_cast<uint32_t>(out));
    uint8_t before[sizeof gate];
    std::memcpy(before, gate, sizeof gate);
    CHECK_EQ(RawCall(inst, FN_SINGLE_WRITE, gate), NUV_OK);
    CHECK(std::memcmp(gate, before, sizeof gate) == 0);
    uint8_t in[4] = {kFill, kFill, 0, 0};
    abi32::Put32(gate, 40, reinterpret_cast<uint32_t>(in));
    std::memcpy(before, gate, sizeof gate);
    CHECK_EQ(RawCall(inst, FN_SINGLE_READ, gate), NUV_OK);
    CHECK(std::memcmp(gate, before, sizeof gate) == 0);
    CHECK(std::memcmp(in, out, sizeof in) == 0);

    check::Context("the request frame at offset 30 of the instance");
    uint8_t words[20];
    abi32::Put32(gate, 16, 64);  // "0340100": nibble 0x0100
    abi32::Put32(gate, 32, 10);
    abi32::Put32(gate, 40, reinterpret_cast<uint32_t>(words));
    CHECK_EQ(RawCall(inst, FN_BLOCK_READ, gate), NUV_OK);
    const uint8_t request[] = {0xA2, 0x03, 0x01, 0x00, 0x01, 0x27};
    CHECK(std::memcmp(inst + 30, request, sizeof request) == 0);

    check::Context("CloseCom clears the handle at offset 4");
    CHECK_EQ(RawCall(inst, FN_CLOSE_COM, nullptr), NUV_OK);
    CHECK_EQ(abi32::Get(inst, 4, 4), 0);

    // Wine turns a fault into a Windows exception only when the signal
    // context is right, which emulation must get right too.
    check::Context("a fault becomes an exception");
    CHECK(IsBadReadPtr(reinterpret_cast<const void*>(16), 4));
}
#endif

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) g_port = argv[1];
    if (argc > 2) g_soakRounds = std::atoi(argv[2]);
    HMODULE module = LoadLibraryA("vave8.dll");
    if (!CHECK(module != nullptr)) return check::Finish();
    g_nuvMain = reinterpret_cast<NuvMainFn>(reinterpret_cast<void*>(GetProcAddress(module, "NuvMain")));
    if (!CHECK(g_nuvMain != nullptr)) return check::Finish();
    hostsvc_set_sink(Sink, nullptr);

#if defined(__i386__)
    TestRecords32();
#endif
    TestStart();
    TestSingles();
    TestBlocks();
    TestErrorBlock();
    TestSoak();
    check::Context("EndNuv");
    CHECK_EQ(Call(FN_END_NUV, nullptr), NUV_OK);
    abi32::CheckedCalls();
    return check::Finish();
}
