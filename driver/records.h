// Records shared with the host application.
//
// The host is built separately and hands these records across the module
// boundary, so their layout is a contract: every integer is little-endian,
// every offset is fixed. On the 32-bit Windows build the layouts below are
// byte-exact with the host's tables; on 64-bit builds pointers widen and the
// records with pointers take their natural layout. Each offset is asserted at
// the bottom of this file for both cases.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define VAVE8_API __stdcall
#else
#define VAVE8_API
#endif

// Result codes of every operation reached through NuvMain.
enum NuvResult : int32_t {
    NUV_OK = 0,        // success (also every call after EndNuv)
    NUV_REJECTED = 1,  // bad address or gate type, no open port, block too big
    NUV_FAILED = 2,    // port or PLC exchange failed, unknown function code
};

// Function codes: the index into the operation table.
enum NuvFunction : uint32_t {
    FN_COLD_START = 1,
    FN_WARM_START = 2,
    FN_SINGLE_ADDRESS_PARSER = 3,
    FN_BLOCK_ADDRESS_PARSER = 4,
    FN_SINGLE_READ = 5,
    FN_BLOCK_READ = 6,
    FN_SINGLE_WRITE = 7,
    FN_BLOCK_WRITE = 10,
    FN_END_NUV = 11,
    FN_CLOSE_COM = 12,
    FN_REOPEN_COM = 13,
    FN_GET_NUV_INFO = 14,
    FN_CHANGE_NUV_PARAMS = 15,
    FN_TABLE_SIZE = 17,
};

// Memory types of a gate, held as the character code.
enum MemoryType : int32_t {
    MEM_BYTE = '2',   // 8-bit item, 2 nibbles
    MEM_WORD = '4',   // 16-bit item, 4 nibbles
    MEM_DWORD = '8',  // 32-bit integer, 8 nibbles
    MEM_FLOAT = '9',  // 32-bit IEEE-754 bit pattern, 8 nibbles
};

constexpr int kPortNameSize = 12;  // 11 characters and the terminator
constexpr int kBlockBufferSize = 262;  // largest block one frame may carry
constexpr int kInstanceSize = 554;

#pragma pack(push, 1)

// Line settings; only the low byte of the last three fields is used.
struct LineParams {
    uint16_t baud;       // bits per second
    uint16_t dataBits;   // 5..8
    uint16_t stopBits;   // 0 one, 1 one and a half, 2 two
    uint16_t parity;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
};

struct ComSettings {
    char portName[kPortNameSize];
    LineParams line;
    uint16_t lineFlags;  // line-control flags word for PortOpen
};

// Per-connection state: the host allocates it, only the driver writes it.
struct DriverInstance {
    int32_t timeoutTicks;   // read timeout in ticks of 10 ms
    uint32_t portHandle;    // 0 while no port is open
    ComSettings com;
    uint8_t request[kBlockBufferSize];
    uint8_t reply[kBlockBufferSize];
};

struct StartParams {
    char portName[kPortNameSize];
    int32_t openFlag;       // 0: start without a port
    int32_t timeoutTicks;
    LineParams line;
};

struct NuvParams {
    char portName[kPortNameSize];
    int32_t timeoutTicks;   // 0 or -1 keeps the current timeout
    LineParams line;        // baud 0 keeps the current line settings
};

#pragma pack(pop)

// The call block handed to NuvMain.
struct NuvCall {
    DriverInstance* instance;
    uint32_t function;
    uint8_t hostOwn[8];
    void* args;  // the operation's argument record
};

// The driver's description of itself.
struct NuvInfo {
    int32_t code;           // 70
    const char* name;
    const char* banner;
    int32_t instanceSize;   // 554
    int32_t four;           // 4
    LineParams defaults;
    int32_t three;          // 3
};

struct GateParse {
    const char* address;
    uint32_t hostOwn;
    uint32_t gateType;      // 0..2 16-bit, 3 float, 4..5 32-bit, 6 digital
    int32_t blockSize;
    int32_t station;        // out
    int32_t memoryType;     // out
    int32_t itemAddress;    // out
    int32_t bitNumber;      // out: 0..7 or -1
    int32_t valueWidth;     // out: 16 or 32
};

struct GateTransfer {
    uint8_t hostOwnA[8];
    int32_t station;
    int32_t memoryType;
    int32_t itemAddress;
    int32_t bitNumber;
    int32_t valueWidth;     // not read by transfers
    uint8_t hostOwnB[4];
    int32_t count;          // items of a block operation
    uint8_t hostOwnC[4];
    uint8_t* value;         // the gate's value area
};

// Byte-exact layouts. Records without pointers are the same on every build.
static_assert(sizeof(LineParams) == 8);
static_assert(offsetof(LineParams, baud) == 0);
static_assert(offsetof(LineParams, dataBits) == 2);
static_assert(offsetof(LineParams, stopBits) == 4);
static_assert(offsetof(LineParams, parity) == 6);

static_assert(sizeof(ComSettings) == 22);
static_assert(offsetof(ComSettings, portName) == 0);
static_assert(offsetof(ComSettings, line) == 12);
static_assert(offsetof(ComSettings, lineFlags) == 20);

static_assert(sizeof(DriverInstance) == kInstanceSize);
static_assert(offsetof(DriverInstance, timeoutTicks) == 0);
static_assert(offsetof(DriverInstance, portHandle) == 4);
static_assert(offsetof(DriverInstance, com) == 8);
static_assert(offsetof(DriverInstance, request) == 30);
static_assert(offsetof(DriverInstance, reply) == 292);

static_assert(sizeof(StartParams) == 28);
static_assert(offsetof(StartParams, portName) == 0);
static_assert(offsetof(StartParams, openFlag) == 12);
static_assert(offsetof(StartParams, timeoutTicks) == 16);
static_assert(offsetof(StartParams, line) == 20);

static_assert(sizeof(NuvParams) == 24);
static_assert(offsetof(NuvParams, portName) == 0);
static_assert(offsetof(NuvParams, timeoutTicks) == 12);
static_assert(offsetof(NuvParams, line) == 16);

#if UINTPTR_MAX == 0xFFFFFFFFu
// 32-bit: the host's tables, to the byte.
static_assert(sizeof(NuvCall) == 20);
static_assert(offsetof(NuvCall, instance) == 0);
static_assert(offsetof(NuvCall, function) == 4);
static_assert(offsetof(NuvCall, hostOwn) == 8);
static_assert(offsetof(NuvCall, args) == 16);

static_assert(sizeof(NuvInfo) == 32);
static_assert(offsetof(NuvInfo, code) == 0);
static_assert(offsetof(NuvInfo, name) == 4);
static_assert(offsetof(NuvInfo, banner) == 8);
static_assert(offsetof(NuvInfo, instanceSize) == 12);
static_assert(offsetof(NuvInfo, four) == 16);
static_assert(offsetof(NuvInfo, defaults) == 20);
static_assert(offsetof(NuvInfo, three) == 28);

static_assert(sizeof(GateParse) == 36);
static_assert(offsetof(GateParse, address) == 0);
static_assert(offsetof(GateParse, hostOwn) == 4);
static_assert(offsetof(GateParse, gateType) == 8);
static_assert(offsetof(GateParse, blockSize) == 12);
static_assert(offsetof(GateParse, station) == 16);
static_assert(offsetof(GateParse, memoryType) == 20);
static_assert(offsetof(GateParse, itemAddress) == 24);
static_assert(offsetof(GateParse, bitNumber) == 28);
static_assert(offsetof(GateParse, valueWidth) == 32);

static_assert(sizeof(GateTransfer) == 44);
static_assert(offsetof(GateTransfer, value) == 40);
#else
// 64-bit: pointers are 8 bytes and every field sits on its natural boundary.
static_assert(sizeof(NuvCall) == 32);
static_assert(offsetof(NuvCall, instance) == 0);
static_assert(offsetof(NuvCall, function) == 8);
static_assert(offsetof(NuvCall, hostOwn) == 12);
static_assert(offsetof(NuvCall, args) == 24);

static_assert(sizeof(NuvInfo) == 48);
static_assert(offsetof(NuvInfo, code) == 0);
static_assert(offsetof(NuvInfo, name) == 8);
static_assert(offsetof(NuvInfo, banner) == 16);
static_assert(offsetof(NuvInfo, instanceSize) == 24);
static_assert(offsetof(NuvInfo, four) == 28);
static_assert(offsetof(NuvInfo, defaults) == 32);
static_assert(offsetof(NuvInfo, three) == 40);

static_assert(sizeof(GateParse) == 40);
static_assert(offsetof(GateParse, address) == 0);
static_assert(offsetof(GateParse, hostOwn) == 8);
static_assert(offsetof(GateParse, gateType) == 12);
static_assert(offsetof(GateParse, blockSize) == 16);
static_assert(offsetof(GateParse, station) == 20);
static_assert(offsetof(GateParse, memoryType) == 24);
static_assert(offsetof(GateParse, itemAddress) == 28);
static_assert(offsetof(GateParse, bitNumber) == 32);
static_assert(offsetof(GateParse, valueWidth) == 36);

static_assert(sizeof(GateTransfer) == 48);
static_assert(offsetof(GateTransfer, value) == 40);
#endif

// Transfer fields sit at the same offsets on every build.
static_assert(offsetof(GateTransfer, hostOwnA) == 0);
static_assert(offsetof(GateTransfer, station) == 8);
static_assert(offsetof(GateTransfer, memoryType) == 12);
static_assert(offsetof(GateTransfer, itemAddress) == 16);
static_assert(offsetof(GateTransfer, bitNumber) == 20);
static_assert(offsetof(GateTransfer, valueWidth) == 24);
static_assert(offsetof(GateTransfer, hostOwnB) == 28);
static_assert(offsetof(GateTransfer, count) == 32);
static_assert(offsetof(GateTransfer, hostOwnC) == 36);
