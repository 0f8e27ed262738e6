// What a Modbus TCP request asks of the PLC: the frame as it came, checked
// against the Modbus limits, the PLC's memory and the write policy before
// anything goes on the serial line.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vave8gw {

// Exception codes a client may get.
enum Exception : uint8_t {
    EX_NONE = 0,
    EX_ILLEGAL_FUNCTION = 0x01,
    EX_ILLEGAL_ADDRESS = 0x02,
    EX_ILLEGAL_VALUE = 0x03,
    EX_DEVICE_FAILURE = 0x04,
    EX_BUSY = 0x06,
    EX_PATH_UNAVAILABLE = 0x0A,
    EX_NO_RESPONSE = 0x0B,
};

const char* ExceptionName(uint8_t exception);

constexpr size_t kMbapSize = 7;  // transaction, protocol, length, unit
constexpr size_t kMaxAdu = 260;  // the MBAP header and the longest PDU
constexpr int kStations = 16;
// A station holds 32 KiB: 16384 words. Coils are bits of its bytes, but the
// request's address field has 16 bits, so only the first 8 KiB have coil
// numbers; all of it is reachable as registers.
constexpr uint32_t kRegisters = 16384;
constexpr uint32_t kCoils = 65536;

struct Frame {
    std::array<uint8_t, kMaxAdu> bytes{};
    size_t length = 0;
};

// How many bytes the frame at the start of `data` takes, header included: 0
// while its header is not all there yet, -1 when the header is not a Modbus
// TCP header (its reason in `why`): the stream can then not be resynchronised.
int FrameLength(const uint8_t* data, size_t available, std::string* why);

enum class Kind : uint8_t { Registers, Coils };

struct WriteRange {
    int unit = 0;
    Kind kind = Kind::Registers;
    uint32_t first = 0;
    uint32_t last = 0;
};

struct WritePolicy {
    bool readOnly = false;
    std::vector<WriteRange> allowed;  // empty: every write allowed
};

// "UNIT:KIND:FIRST-LAST" or "UNIT:KIND:N"; false with the reason in `error`.
bool ParseWriteRange(const std::string& text, WriteRange* range, std::string* error);

// A request as the line side carries it out.
struct Operation {
    uint8_t unit = 0;
    uint8_t function = 0;
    uint16_t first = 0;
    uint16_t count = 0;  // items; 1 for functions 5 and 6
};

struct Decision {
    Operation op;
    uint8_t exception = EX_NONE;  // set: refused, nothing goes on the line
    std::string cause;
};

// Checks a whole frame. The order is the one Modbus prescribes: the unit
// (a gateway's path), the function, the quantity and the frame's own
// lengths (0x03), then the address (0x02), then the write policy.
Decision Decide(const Frame& frame, const WritePolicy& policy);

bool IsWrite(uint8_t function);

// Bit `k` of a function 15 request, 0 or 1.
inline uint8_t RequestedCoil(const Frame& frame, uint32_t k) {
    return static_cast<uint8_t>((frame.bytes[kMbapSize + 6 + k / 8] >> (k % 8)) & 1u);
}

// Register `k` of a function 16 request, or the value of function 6.
inline uint16_t RequestedRegister(const Frame& frame, uint32_t k) {
    const size_t at = frame.bytes[kMbapSize] == 6 ? kMbapSize + 3 : kMbapSize + 6 + 2 * k;
    return static_cast<uint16_t>(frame.bytes[at] << 8 | frame.bytes[at + 1]);
}

}  // namespace vave8gw
