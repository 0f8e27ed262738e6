#include "gateway/modbus/request.h"

#include <charconv>
#include <cstdio>

namespace vave8gw {

namespace {

uint16_t Word(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

std::string Printf(const char* format, auto... values) {
    char text[256];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

Decision Refuse(Decision d, uint8_t exception, std::string cause) {
    d.exception = exception;
    d.cause = std::move(cause);
    return d;
}

bool ParseNumber(std::string_view text, uint32_t max, uint32_t* out) {
    uint32_t n = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, n);
    if (text.empty() || ec != std::errc() || ptr != end || n > max) return false;
    *out = n;
    return true;
}

bool InAllowedRange(const WritePolicy& policy, const Operation& op) {
    const Kind kind = (op.function == 5 || op.function == 15) ? Kind::Coils : Kind::Registers;
    const uint32_t last = uint32_t{op.first} + op.count - 1;
    for (const WriteRange& range : policy.allowed) {
        if (range.unit == op.unit && range.kind == kind && range.first <= op.first &&
            last <= range.last) {
            return true;
        }
    }
    return false;
}

}  // namespace

const char* ExceptionName(uint8_t exception) {
    switch (exception) {
        case EX_NONE:
            return "none";
        case EX_ILLEGAL_FUNCTION:
            return "illegal function";
        case EX_ILLEGAL_ADDRESS:
            return "illegal data address";
        case EX_ILLEGAL_VALUE:
            return "illegal data value";
        case EX_DEVICE_FAILURE:
            return "server device failure";
        case EX_BUSY:
            return "server device busy";
        case EX_PATH_UNAVAILABLE:
            return "gateway path unavailable";
        case EX_NO_RESPONSE:
            return "gateway target device failed to respond";
        default:
            return "unknown";
    }
}

int FrameLength(const uint8_t* data, size_t available, std::string* why) {
    if (available < kMbapSize) return 0;
    const uint16_t protocol = Word(data + 2);
    const uint16_t length = Word(data + 4);
    if (protocol != 0) {
        *why = Printf("protocol identifier %u, not 0 (Modbus)", protocol);
        return -1;
    }
    // The length counts the unit identifier and the PDU (1 to 253 bytes).
    if (length < 2 || length > kMaxAdu - 6) {
        *why = Printf("MBAP length %u outside 2..%zu", length, kMaxAdu - 6);
        return -1;
    }
    return 6 + length;
}

bool ParseWriteRange(const std::string& text, WriteRange* range, std::string* error) {
    const size_t colon1 = text.find(':');
    const size_t colon2 = colon1 == std::string::npos ? colon1 : text.find(':', colon1 + 1);
    if (colon2 == std::string::npos) {
        *error = "--allow-write: '" + text + "' is not UNIT:KIND:FIRST-LAST";
        return false;
    }
    const std::string_view all = text;
    const std::string_view unit = all.substr(0, colon1);
    const std::string_view kind = all.substr(colon1 + 1, colon2 - colon1 - 1);
    const std::string_view span = all.substr(colon2 + 1);
    uint32_t u = 0;
    if (!ParseNumber(unit, kStations - 1, &u)) {
        *error = "--allow-write: unit '" + std::string(unit) + "' is not 0..15";
        return false;
    }
    WriteRange r;
    r.unit = static_cast<int>(u);
    if (kind == "hr") {
        r.kind = Kind::Registers;
    } else if (kind == "coil") {
        r.kind = Kind::Coils;
    } else {
        *error = "--allow-write: kind '" + std::string(kind) + "' is not hr or coil";
        return false;
    }
    const uint32_t max = (r.kind == Kind::Registers ? kRegisters : kCoils) - 1;
    const size_t dash = span.find('-');
    const std::string_view first = span.substr(0, dash);
    const std::string_view last = dash == std::string_view::npos ? first : span.substr(dash + 1);
    if (!ParseNumber(first, max, &r.first) || !ParseNumber(last, max, &r.last) ||
        r.last < r.first) {
        *error = "--allow-write: '" + std::string(span) + "' is not FIRST-LAST within 0.." +
                 std::to_string(max);
        return false;
    }
    *range = r;
    return true;
}

bool IsWrite(uint8_t function) {
    return function == 5 || function == 6 || function == 15 || function == 16;
}

Decision Decide(const Frame& frame, const WritePolicy& policy) {
    Decision d;
    const uint8_t* pdu = frame.bytes.data() + kMbapSize;
    const size_t pduLength = frame.length - kMbapSize;
    d.op.unit = frame.bytes[kMbapSize - 1];
    d.op.function = pdu[0];
    if (pduLength >= 5) {
        d.op.first = Word(pdu + 1);
        d.op.count = Word(pdu + 3);
    }
    const uint8_t function = d.op.function;
    if (d.op.unit >= kStations) {
        return Refuse(d, EX_PATH_UNAVAILABLE, Printf("unit %u is no station (0..15)", d.op.unit));
    }

    uint32_t maxCount = 0;
    uint32_t end = kRegisters;  // first address past the memory
    switch (function) {
        case 1:
        case 2:
            maxCount = 2000;
            end = kCoils;
            break;
        case 3:
        case 4:
            maxCount = 125;
            break;
        case 5:
        case 6:
            maxCount = 1;
            end = function == 5 ? kCoils : kRegisters;
            break;
        case 15:
            maxCount = 1968;
            end = kCoils;
            break;
        case 16:
            maxCount = 123;
            break;
        default:
            return Refuse(d, EX_ILLEGAL_FUNCTION, Printf("function %u is not served", function));
    }

    if (function == 5 || function == 6) {
        if (pduLength != 5)
            return Refuse(d, EX_ILLEGAL_VALUE, Printf("PDU of %zu bytes, not 5", pduLength));
        const uint16_t value = d.op.count;
        d.op.count = 1;
        if (function == 5 && value != 0xFF00 && value != 0) {
            return Refuse(d, EX_ILLEGAL_VALUE, Printf("coil value 0x%04X, not 0xFF00 or 0", value));
        }
    } else if (function == 15 || function == 16) {
        if (pduLength < 6)
            return Refuse(d, EX_ILLEGAL_VALUE, Printf("PDU of %zu bytes", pduLength));
        if (d.op.count < 1 || d.op.count > maxCount) {
            return Refuse(d, EX_ILLEGAL_VALUE,
                          Printf("count %u outside 1..%u", d.op.count, maxCount));
        }
        const size_t bytes = pdu[5];
        const size_t expected = function == 15 ? (d.op.count + 7u) / 8u : 2u * d.op.count;
        if (bytes != expected || pduLength != 6 + bytes) {
            return Refuse(d, EX_ILLEGAL_VALUE,
                          Printf("byte count %zu and %zu data bytes for %u items (%zu expected)",
                                 bytes, pduLength - 6, d.op.count, expected));
        }
    } else {
        if (pduLength != 5)
            return Refuse(d, EX_ILLEGAL_VALUE, Printf("PDU of %zu bytes, not 5", pduLength));
        if (d.op.count < 1 || d.op.count > maxCount) {
            return Refuse(d, EX_ILLEGAL_VALUE,
                          Printf("count %u outside 1..%u", d.op.count, maxCount));
        }
    }
    if (uint32_t{d.op.first} + d.op.count > end) {
        return Refuse(d, EX_ILLEGAL_ADDRESS,
                      Printf("past the end of the station's %s (0..%u)",
                             end == kCoils ? "coils" : "registers", end - 1));
    }
    if (IsWrite(function)) {
        if (policy.readOnly) return Refuse(d, EX_ILLEGAL_FUNCTION, "the gateway is read-only");
        if (!policy.allowed.empty() && !InAllowedRange(policy, d.op)) {
            return Refuse(d, EX_ILLEGAL_ADDRESS, "outside every --allow-write range");
        }
    }
    return d;
}

}  // namespace vave8gw
