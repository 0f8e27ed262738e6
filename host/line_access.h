// The serial line as the tag engine sees it: block reads of bytes and single
// gate writes, each one driver transaction with its outcome sorted by cause.
// Implemented by the line that owns the driver module; only the line thread
// calls it.
#pragma once

#include <cstdint>
#include <string>

namespace host {

struct LineResult {
    enum class Kind : uint8_t {
        Ok,
        NoReply,     // every attempt timed out
        ErrorBlock,  // the PLC refused: errorCode
        Garbled,     // CRC, framing, short or unknown block
        PortDown,    // the port failed or does not open again yet
        Refused,     // the driver refused before the line (address, size)
        Failed,      // anything else the driver reported
    };
    Kind kind = Kind::Failed;
    int errorCode = 0;
    std::string text;    // the driver's own words, for a log line
    double seconds = 0;  // time on the line, request to reply
};

class LineAccess {
public:
    virtual ~LineAccess() = default;
    // `count` bytes of memory type '2' from `firstByte` (1..256).
    virtual LineResult ReadBytes(int station, uint32_t firstByte, uint32_t count,
                                 uint8_t* bytes) = 0;
    // SingleWrite of one gate; `values` is the gate's value area as the
    // driver reads it (16-bit items in the slot at offset 2, 32-bit at 0).
    virtual LineResult WriteGate(const std::string& address, uint32_t gateType,
                                 uint8_t* values) = 0;
    virtual bool PortDown() const = 0;
};

}  // namespace host
