// A stand-in host: loads vave8.dll by name, finds NuvMain, catches the log
// lines through hostsvc.dll and drives the module as a host would.
// Usage: wine_host_test COMn [absent COMm]
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "abi32.h"
#include "check.h"
#include "driver/records.h"
#include "hostsvc/hostsvc.h"

namespace {

using NuvMainFn = int32_t(VAVE8_API*)(NuvCall*);
NuvMainFn g_nuvMain = nullptr;

const char* g_port = "COM5";
const char* g_absent = "COM9";

// --- the log lines of the last call ---------------------------------------------

struct Line {
    int level;
    char text[200];
};
constexpr int kMaxLines = 32;
Line g_lines[kMaxLines];
int g_lineCount = 0;

void Sink(void*, int level, const char* text) {
    if (g_lineCount >= kMaxLines) return;
    g_lines[g_lineCount].level = level;
    std::snprintf(g_lines[g_lineCount].text, sizeof g_lines[0].text, "%s", text);
    ++g_lineCount;
}

void ClearLines() { g_lineCount = 0; }

struct Expected {
    int level;
    const char* text;  // exact, or a prefix when it ends with '*'
};

bool Matches(const Line& line, const Expected& want) {
    const size_t n = std::strlen(want.text);
    if (n > 0 && want.text[n - 1] == '*') {
        return line.level == want.level && std::strncmp(line.text, want.text, n - 1) == 0;
    }
    return line.level == want.level && std::strcmp(line.text, want.text) == 0;
}

// The lines logged since the last ClearLines, in order, and nothing else.
template <int N>
void CheckTrail(const Expected (&want)[N], int line) {
    bool ok = g_lineCount == N;
    for (int i = 0; ok && i < N; ++i) ok = Matches(g_lines[i], want[i]);
    if (!check::Record(ok, __FILE__, line, "log trail differs")) {
        for (int i = 0; i < g_lineCount; ++i) {
            std::printf("    got  [%d] %s\n", g_lines[i].level, g_lines[i].text);
        }
        for (int i = 0; i < N; ++i) std::printf("    want [%d] %s\n", want[i].level, want[i].text);
    }
}

void CheckNoLines(int line) {
    check::Record(g_lineCount == 0, __FILE__, line, "%d unexpected log lines, first: %s",
                  g_lineCount, g_lineCount ? g_lines[0].text : "");
}

#define CHECK_TRAIL(...)                                \
    do {                                                \
        static const Expected want_[] = {__VA_ARGS__};  \
        CheckTrail(want_, __LINE__);                    \
    } while (0)

// --- calling the module ----------------------------------------------------------

int32_t Call(DriverInstance* instance, uint32_t function, void* args) {
    NuvCall call;
    std::memset(&call, 0, sizeof call);
    call.instance = instance;
    call.function = function;
    call.args = args;
    ClearLines();
    return abi32::CallNuvMain(g_nuvMain, &call);
}

StartParams Start(const char* port, int32_t openFlag, int32_t ticks) {
    StartParams start;
    std::memset(&start, 0, sizeof start);
    std::snprintf(start.portName, sizeof start.portName, "%s", port);
    start.openFlag = openFlag;
    start.timeoutTicks = ticks;
    // No parity: a pseudo-terminal has none, and this kernel refuses a
    // tcsetattr whose only change is parity, so a second open would fail.
    start.line = LineParams{9600, 8, 0, 0};
    return start;
}

NuvParams Params(const char* port, int32_t ticks, uint16_t baud) {
    NuvParams params;
    std::memset(&params, 0, sizeof params);
    std::snprintf(params.portName, sizeof params.portName, "%s", port);
    params.timeoutTicks = ticks;
    params.line = LineParams{baud, 8, 0, 0};
    return params;
}

// The handle OpenCom reported must be the one stored in the instance.
void CheckOpenLine(const DriverInstance& inst) {
    char want[80];
    std::snprintf(want, sizeof want, "VAVE8> OpenCom() exited OK, file handle %u", inst.portHandle);
    bool found = false;
    for (int i = 0; i < g_lineCount; ++i) found = found || std::strcmp(g_lines[i].text, want) == 0;
    check::Record(inst.portHandle != 0 && found, __FILE__, __LINE__, "no line \"%s\"", want);
}

// "VAVE8> version compiled on Mmm dd yyyy at time hh:mm:ss"
bool IsVersionLine(const char* text) {
    char month[4] = {};
    int day = 0, year = 0, h = 0, m = 0, s = 0;
    char tail = 0;
    const int n = std::sscanf(text, "VAVE8> version compiled on %3s %d %d at time %d:%d:%d%c", month,
                              &day, &year, &h, &m, &s, &tail);
    return n == 6 && std::strstr("JanFebMarAprMayJunJulAugSepOctNovDec", month) != nullptr &&
           day >= 1 && day <= 31 && year >= 2000 && h < 24 && m < 60 && s < 61;
}

// --- the module's description and dispatch -------------------------------------------

void TestDescription() {
    check::Context("GetNuvInfo");
    NuvInfo info;
    std::memset(&info, 0xEE, sizeof info);
    CHECK_EQ(Call(nullptr, FN_GET_NUV_INFO, &info), NUV_OK);
    CHECK_TRAIL({8, "VAVE8> GetNuvInfo() exited"});
    CHECK_EQ(info.code, 70);
    CHECK_STR(info.name, "Philips P8 PLC");
    CHECK_EQ(info.instanceSize, 554);
    CHECK_EQ(info.four, 4);
    CHECK_EQ(info.defaults.baud, 9600);
    CHECK_EQ(info.defaults.dataBits, 8);
    CHECK_EQ(info.defaults.stopBits, 0);
    CHECK_EQ(info.defaults.parity, 2);
    CHECK_EQ(info.three, 3);

    // Code page 437: backspace, line feed, then a double-line box of three
    // lines 59 characters wide, no line feed after the last.
    unsigned char banner[181];
    int n = 0;
    banner[n++] = 0x08;
    banner[n++] = '\n';
    banner[n++] = 0xC9;
    for (int i = 0; i < 57; ++i) banner[n++] = 0xCD;
    banner[n++] = 0xBB;
    banner[n++] = '\n';
    banner[n++] = 0xBA;
    const char* title = "  VAVE8: Philips P8 PLC, PPCCOM-Protocol (32-bit driver) ";
    CHECK_EQ(std::strlen(title), 57);
    std::memcpy(banner + n, title, 57);
    n += 57;
    banner[n++] = 0xBA;
    banner[n++] = '\n';
    banner[n++] = 0xC8;
    for (int i = 0; i < 57; ++i) banner[n++] = 0xCD;
    banner[n++] = 0xBC;
    CHECK_EQ(n, 181);
    CHECK_EQ(std::strlen(info.banner), 181);
    CHECK(std::memcmp(info.banner, banner, sizeof banner) == 0);
}

void TestDispatch() {
    const uint32_t empty[] = {0, 8, 9, 16, 17, 100, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFFFu};
    alignas(8) unsigned char storage[kInstanceSize] = {};
    auto* inst = reinterpret_cast<DriverInstance*>(storage);
    for (uint32_t code : empty) {
        check::Context("function code %u", code);
        CHECK_EQ(Call(inst, code, nullptr), NUV_FAILED);
        CheckNoLines(__LINE__);
    }

    check::Context("records missing");
    CHECK_EQ(Call(nullptr, FN_WARM_START, nullptr), NUV_REJECTED);
    CHECK_EQ(Call(nullptr, FN_SINGLE_ADDRESS_PARSER, nullptr), NUV_REJECTED);
    CHECK_EQ(Call(inst, FN_COLD_START, nullptr), NUV_REJECTED);
    CHECK_EQ(Call(inst, FN_BLOCK_READ, nullptr), NUV_REJECTED);
    CHECK_EQ(Call(inst, FN_GET_NUV_INFO, nullptr), NUV_REJECTED);

    check::Context("an operation's result passes through");
    GateParse gate = {};
    gate.address = "1020000";
    CHECK_EQ(Call(nullptr, FN_SINGLE_ADDRESS_PARSER, &gate), NUV_REJECTED);
    gate.address = "0120010";
    CHECK_EQ(Call(nullptr, FN_SINGLE_ADDRESS_PARSER, &gate), NUV_OK);
}

// --- address texts ----------------------------------------------------------------

void TestAddresses() {
    struct Row {
        const char* text;
        uint32_t function;
        uint32_t gateType;
        int32_t blockSize;
        int32_t result;
        int32_t station, memoryType, itemAddress, bitNumber, valueWidth;  // when accepted
        const char* line;  // the one refusal line, or nullptr
    };
    const Row rows[] = {
        {"0120010", FN_SINGLE_ADDRESS_PARSER, 1, 0, 0, 1, '2', 8, -1, 16, nullptr},
        {"0120010", FN_SINGLE_ADDRESS_PARSER, 6, 0, 1, 0, 0, 0, 0, 0, "VAVE8> SingleParse() Gate type should be 16-bit"},
        {"012001A3", FN_SINGLE_ADDRESS_PARSER, 6, 0, 0, 1, '2', 13, 4, 16, nullptr},
        {"012001A3", FN_SINGLE_ADDRESS_PARSER, 0, 0, 1, 0, 0, 0, 0, 0, "VAVE8> SingleParse() Gate type should be DIGITAL"},
        {"012001A3", FN_BLOCK_ADDRESS_PARSER, 0, 1, 1, 0, 0, 0, 0, 0, "VAVE8> BlockParse() digital gates not allowed as block"},
        {"0f40100", FN_SINGLE_ADDRESS_PARSER, 6, 0, 0, 15, '4', 64, -1, 16, nullptr},
        {"0390020", FN_SINGLE_ADDRESS_PARSER, 3, 0, 0, 3, '9', 4, -1, 32, nullptr},
        {"0390020", FN_SINGLE_ADDRESS_PARSER, 4, 0, 1, 0, 0, 0, 0, 0, "VAVE8> SingleParse() Gate type should be FLOAT"},
        {"00800085", FN_SINGLE_ADDRESS_PARSER, 5, 0, 0, 0, '8', 1, -1, 32, nullptr},
        {"00800085", FN_SINGLE_ADDRESS_PARSER, 3, 0, 1, 0, 0, 0, 0, 0, "VAVE8> SingleParse() Gate type should be 32-bit"},
        {"00400008", FN_SINGLE_ADDRESS_PARSER, 0, 0, 1, 0, 0, 0, 0, 0, "VAVE8> Parse() Illegal character 7 in '00400008'"},
        {"002FFFF", FN_SINGLE_ADDRESS_PARSER, 0, 0, 1, 0, 0, 0, 0, 0, "VAVE8> Parse() Illegal nibble address"},
        {"002FFFE", FN_SINGLE_ADDRESS_PARSER, 0, 0, 0, 0, '2', 32767, -1, 16, nullptr},
        {"0020001", FN_SINGLE_ADDRESS_PARSER, 0, 0, 1, 0, 0, 0, 0, 0, "VAVE8> Parse() Nibble address should be 2 nibble boundary"},
        {"", FN_SINGLE_ADDRESS_PARSER, 0, 0, 1, 0, 0, 0, 0, 0, "VAVE8> Parse() Illegal character 0 in ''"},
        {"1020000", FN_BLOCK_ADDRESS_PARSER, 0, 1, 1, 0, 0, 0, 0, 0, "VAVE8> Parse() Illegal character 0 in '1020000'"},
        {"0330000", FN_SINGLE_ADDRESS_PARSER, 0, 0, 1, 0, 0, 0, 0, 0, "VAVE8> Parse() Illegal character 2 in '0330000'"},
        {"0120010 xy", FN_SINGLE_ADDRESS_PARSER, 2, 0, 0, 1, '2', 8, -1, 16, nullptr},
        {"0020000", FN_BLOCK_ADDRESS_PARSER, 0, 256, 0, 0, '2', 0, -1, 16, nullptr},
        {"0020000", FN_BLOCK_ADDRESS_PARSER, 0, 257, 1, 0, 0, 0, 0, 0, "VAVE8> BlockParse() block size out of range"},
        {"0080000", FN_BLOCK_ADDRESS_PARSER, 0, 64, 0, 0, '8', 0, -1, 32, nullptr},
        {"0080000", FN_BLOCK_ADDRESS_PARSER, 0, 65, 1, 0, 0, 0, 0, 0, "VAVE8> BlockParse() block size out of range"},
        {"0040000", FN_BLOCK_ADDRESS_PARSER, 0, -1, 0, 0, '4', 0, -1, 16, nullptr},
    };
    for (const Row& row : rows) {
        check::Context("address '%s' through code %u, gate type %u, block %d", row.text, row.function,
                       row.gateType, row.blockSize);
        GateParse gate;
        std::memset(&gate, 0x77, sizeof gate);
        gate.address = row.text;
        gate.gateType = row.gateType;
        gate.blockSize = row.blockSize;
        CHECK_EQ(Call(nullptr, row.function, &gate), row.result);
        if (row.line != nullptr) {
            bool ok = g_lineCount == 1 && g_lines[0].level == 8 && std::strcmp(g_lines[0].text, row.line) == 0;
            check::Record(ok, __FILE__, __LINE__, "want one line \"%s\", got %d, first \"%s\"", row.line,
                          g_lineCount, g_lineCount ? g_lines[0].text : "");
        } else {
            CheckNoLines(__LINE__);
            CHECK_EQ(gate.station, row.station);
            CHECK_EQ(gate.memoryType, row.memoryType);
            CHECK_EQ(gate.itemAddress, row.itemAddress);
            CHECK_EQ(gate.bitNumber, row.bitNumber);
            CHECK_EQ(gate.valueWidth, row.valueWidth);
        }
    }
}

// --- connection lifecycle ----------------------------------------------------------

void TestLifecycleWithoutPort() {
    alignas(8) unsigned char storage[kInstanceSize];
    std::memset(storage, 0xCC, sizeof storage);
    auto* inst = reinterpret_cast<DriverInstance*>(storage);

    check::Context("ColdStart without a port");
    StartParams start = Start("NUL", 0, 100);
    CHECK_EQ(Call(inst, FN_COLD_START, &start), NUV_OK);
    CHECK(g_lineCount == 1 && IsVersionLine(g_lines[0].text) && g_lines[0].level == 8);
    CHECK_EQ(inst->portHandle, 0);
    CHECK_EQ(inst->timeoutTicks, 100);

    check::Context("a read without a port");
    uint8_t value[8] = {};
    GateTransfer transfer;
    std::memset(&transfer, 0, sizeof transfer);
    transfer.memoryType = '4';
    transfer.bitNumber = -1;
    transfer.count = 1;
    transfer.value = value;
    CHECK_EQ(Call(inst, FN_SINGLE_READ, &transfer), NUV_REJECTED);

    check::Context("ColdStart on an absent port %s", g_absent);
    start = Start(g_absent, 1, 100);
    CHECK_EQ(Call(inst, FN_COLD_START, &start), NUV_FAILED);
    CHECK_TRAIL({8, "VAVE8> version compiled on *"}, {32, "VAVE8> OpenCom() open COM port failed"},
                {32, "VAVE8> ColdStart() error opening COM port"});
    CHECK_EQ(inst->portHandle, 0);

    check::Context("ReOpenCom of the absent port");
    CHECK_EQ(Call(inst, FN_REOPEN_COM, nullptr), NUV_FAILED);
    CHECK_TRAIL({32, "VAVE8> OpenCom() open COM port failed"}, {32, "VAVE8> ReOpenCom() exited 2"});
}

// The trail every connection goes through, on the null device or a COM port.
void TestLifecycleOn(const char* port) {
    alignas(8) unsigned char storage[kInstanceSize];
    std::memset(storage, 0xCC, sizeof storage);
    auto* inst = reinterpret_cast<DriverInstance*>(storage);

    check::Context("ColdStart on %s", port);
    StartParams start = Start(port, 1, 50);
    CHECK_EQ(Call(inst, FN_COLD_START, &start), NUV_OK);
    CHECK_TRAIL({8, "VAVE8> version compiled on *"}, {8, "VAVE8> OpenCom() exited OK, file handle *"},
                {8, "VAVE8> installation OK!"});
    CHECK(IsVersionLine(g_lines[0].text));
    CheckOpenLine(*inst);
    CHECK_STR(inst->com.portName, port);
    CHECK_EQ(inst->com.lineFlags, 0x0303);

    check::Context("WarmStart on %s", port);
    CHECK_EQ(Call(inst, FN_WARM_START, nullptr), NUV_OK);
    CHECK_TRAIL({8, "VAVE8> WarmStart()"});

    check::Context("ChangeNuvParams on %s closes first", port);
    NuvParams params = Params(port, -1, 19200);
    CHECK_EQ(Call(inst, FN_CHANGE_NUV_PARAMS, &params), NUV_OK);
    CHECK_TRAIL({8, "VAVE8> CloseCom() exited 0"}, {8, "VAVE8> OpenCom() exited OK, file handle *"});
    CheckOpenLine(*inst);
    CHECK_EQ(inst->timeoutTicks, 50);
    CHECK_EQ(inst->com.line.baud, 19200);

    check::Context("CloseCom twice on %s", port);
    CHECK_EQ(Call(inst, FN_CLOSE_COM, nullptr), NUV_OK);
    CHECK_TRAIL({8, "VAVE8> CloseCom() exited 0"});
    CHECK_EQ(inst->portHandle, 0);
    CHECK_EQ(Call(inst, FN_CLOSE_COM, nullptr), NUV_OK);
    CHECK_TRAIL({8, "VAVE8> CloseCom() exited 0"});

    check::Context("ReOpenCom on %s", port);
    CHECK_EQ(Call(inst, FN_REOPEN_COM, nullptr), NUV_OK);
    CHECK_TRAIL({8, "VAVE8> OpenCom() exited OK, file handle *"}, {8, "VAVE8> ReOpenCom() exited 0"});
    CheckOpenLine(*inst);

    check::Context("ChangeNuvParams from %s to an absent port", port);
    params = Params(g_absent, 0, 0);
    CHECK_EQ(Call(inst, FN_CHANGE_NUV_PARAMS, &params), NUV_FAILED);
    CHECK_TRAIL({8, "VAVE8> CloseCom() exited 0"}, {32, "VAVE8> OpenCom() open COM port failed"},
                {8, "VAVE8> ChangeNuvParams() open new COM port failed"});
    CHECK_EQ(inst->portHandle, 0);
    CHECK_EQ(inst->com.line.baud, 19200);  // baud 0 kept the line settings
}

// Last: after EndNuv the module stays ended while it is loaded.
void TestEnd() {
    alignas(8) unsigned char storage[kInstanceSize];
    std::memset(storage, 0, sizeof storage);
    auto* inst = reinterpret_cast<DriverInstance*>(storage);

    check::Context("EndNuv with a port open");
    StartParams start = Start(g_port, 1, 50);
    CHECK_EQ(Call(inst, FN_COLD_START, &start), NUV_OK);
    CHECK_EQ(Call(inst, FN_END_NUV, nullptr), NUV_OK);
    CHECK_TRAIL({8, "VAVE8> CloseCom() exited 0"}, {8, "VAVE8> EndNuv() exited, 0"});
    CHECK_EQ(inst->portHandle, 0);

    check::Context("every call after EndNuv");
    for (uint32_t code = 0; code <= 18; ++code) {
        CHECK_EQ(Call(nullptr, code, nullptr), NUV_OK);
        CheckNoLines(__LINE__);
    }
    CHECK_EQ(Call(inst, 0xFFFFFFFFu, nullptr), NUV_OK);
    NuvInfo info;
    std::memset(&info, 0xEE, sizeof info);
    NuvInfo untouched = info;
    CHECK_EQ(Call(nullptr, FN_GET_NUV_INFO, &info), NUV_OK);
    CHECK(std::memcmp(&info, &untouched, sizeof info) == 0);
    start = Start(g_port, 1, 50);
    CHECK_EQ(Call(inst, FN_COLD_START, &start), NUV_OK);
    CHECK_EQ(inst->portHandle, 0);
    CheckNoLines(__LINE__);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) g_port = argv[1];
    if (argc > 2) g_absent = argv[2];

    HMODULE module = LoadLibraryA("vave8.dll");
    if (!CHECK(module != nullptr)) return check::Finish();
    g_nuvMain = reinterpret_cast<NuvMainFn>(reinterpret_cast<void*>(GetProcAddress(module, "NuvMain")));
    if (!CHECK(g_nuvMain != nullptr)) return check::Finish();
    hostsvc_set_sink(Sink, nullptr);

    TestDescription();
    TestDispatch();
    TestAddresses();
    TestLifecycleWithoutPort();
    TestLifecycleOn("NUL");
    TestLifecycleOn(g_port);
    TestEnd();
    abi32::CheckedCalls();
    return check::Finish();
}
