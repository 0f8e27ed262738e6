// The tag engine's side of the line: block reads and gate writes through the
// same transfer path as the Modbus requests.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gateway/line.h"

namespace vave8gw {

namespace {

using LineKind = host::LineResult::Kind;

// The code an ERROR block carried: "... Recieved ERROR block 0x07 retry 3".
int ErrorCode(const std::string& text) {
    const size_t at = text.find("ERROR block 0x");
    if (at == std::string::npos) return 0;
    return static_cast<int>(std::strtol(text.c_str() + at + 14, nullptr, 16));
}

double Since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

host::LineResult Line::Sorted(const Driver& driver, double seconds) {
    host::LineResult result;
    result.seconds = seconds;
    if (driver.result == NUV_OK) {
        result.kind = LineKind::Ok;
        return result;
    }
    const Outcome outcome = Failed(driver);
    result.text = outcome.cause;
    if (driver.result == NUV_REJECTED) {
        result.kind = LineKind::Refused;
    } else if (outcome.portFailed) {
        result.kind = LineKind::PortDown;
        if (!portDown_) {
            portDown_ = true;
            nextReopen_ = {};
            std::fprintf(stderr, "vave8gw: serial port %s failed: opening it again\n",
                         options_.port.c_str());
        }
    } else if (outcome.exception == EX_NO_RESPONSE) {
        result.kind = LineKind::NoReply;
    } else if (outcome.cause.find("ERROR block") != std::string::npos) {
        result.kind = LineKind::ErrorBlock;
        result.errorCode = ErrorCode(outcome.cause);
    } else if (outcome.cause.compare(0, 7, "garbled") == 0) {
        result.kind = LineKind::Garbled;
    } else {
        result.kind = LineKind::Failed;
    }
    return result;
}

bool Line::PortReady(host::LineResult* result) {
    if (!portDown_ || Reopen()) return true;
    result->kind = LineKind::PortDown;
    result->text = "serial port " + options_.port + " failed and does not open again yet";
    return false;
}

host::LineResult Line::ReadBytes(int station, uint32_t firstByte, uint32_t count,
                                 uint8_t* bytes) {
    host::LineResult result;
    if (!PortReady(&result)) return result;
    if (count == 0 || count > 256 || station < 0 || station > 15) {
        result.kind = LineKind::Refused;
        result.text = "block out of range";
        return result;
    }
    char address[16];
    std::snprintf(address, sizeof address, "%02X%c%04X", station, MEM_BYTE,
                  static_cast<unsigned>(2 * firstByte));
    // One 16-bit slot per byte, the byte in its low half.
    alignas(8) uint8_t values[2 * 256 + 8] = {};
    const auto start = std::chrono::steady_clock::now();
    const Driver d =
        Transfer(FN_BLOCK_READ, address, true, 0, static_cast<int32_t>(count), values);
    result = Sorted(d, Since(start));
    if (result.kind == LineKind::Ok) {
        for (uint32_t i = 0; i < count; ++i) bytes[i] = values[2 * i];
    }
    return result;
}

host::LineResult Line::WriteGate(const std::string& address, uint32_t gateType,
                                 uint8_t* values) {
    host::LineResult result;
    if (!PortReady(&result)) return result;
    const auto start = std::chrono::steady_clock::now();
    const Driver d = Transfer(FN_SINGLE_WRITE, address, false, gateType, 1, values);
    return Sorted(d, Since(start));
}

}  // namespace vave8gw
