// Station memory and request handling of the simulated PLC.
//
// Each station has 64K nibbles of memory, held as 32 KiB: byte address =
// nibble address / 2, the high nibble of a byte first. Requests name an
// inclusive nibble range in 16-bit arithmetic, so a range may wrap past
// FFFF back to 0000.
//
// Request block: code (A2 read, A1 write), station, start nibble (high byte
// first), end nibble, then for a write the data bytes.
// Reply blocks: DATA = 3, station, data bytes; DONE = 0, station;
// ERROR = 1, station, request code, error code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace p8sim {

constexpr int kStations = 16;
constexpr size_t kStationBytes = 0x8000;
constexpr size_t kMaxData = 256;
constexpr size_t kRequestHeader = 6;

constexpr uint8_t kReqWrite = 0xA1;
constexpr uint8_t kReqRead = 0xA2;

constexpr uint8_t kBlockDone = 0;
constexpr uint8_t kBlockError = 1;
constexpr uint8_t kBlockData = 3;

// Error codes this PLC answers with. None of them is 0x0C or 0x25, the two
// codes a master may retry: each of these refuses the request as it stands,
// and sending it again would not help.
enum PlcError : uint8_t {
    kErrUnknownRequest = 0x01,  // request code is neither A1 nor A2
    kErrNotWholeBytes = 0x02,   // range starts on an odd nibble or ends on an even one
    kErrTooLong = 0x03,         // range is more than 256 bytes
    kErrLengthMismatch = 0x04,  // write data length differs from the range
    kErrMalformed = 0x05,       // header shorter than 6 bytes, or a read with extra bytes
};

// A request block taken apart. Fields beyond what the block holds are 0.
struct Request {
    uint8_t code = 0;
    uint8_t station = 0;
    uint16_t start = 0;
    uint16_t end = 0;
    bool has_station = false;   // at least two bytes: a station could be addressed
    bool has_header = false;    // all six header bytes present
    std::vector<uint8_t> data;  // write data (bytes after the header)
};

Request ParseRequest(const uint8_t* block, size_t n);

// Nibbles in the inclusive range start..end, wrapping: 1 to 65536.
inline uint32_t NibbleCount(uint16_t start, uint16_t end) {
    return static_cast<uint32_t>(static_cast<uint16_t>(end - start)) + 1;
}

// Reply blocks.
std::vector<uint8_t> DoneBlock(uint8_t station);
std::vector<uint8_t> ErrorBlock(uint8_t station, uint8_t request_code, uint8_t error);

class Plc {
public:
    Plc();

    // 0 when the request can be served, else the error code it is refused with.
    static uint8_t Check(const Request& req);

    // Serves a request: a DATA block for a read, a DONE block for a write
    // (memory changed), an ERROR block for anything Check refuses.
    // `write_applied` tells whether memory was changed.
    std::vector<uint8_t> Execute(const Request& req, bool* write_applied);

    // Bytes of a station's memory; byte addresses wrap at 32 KiB.
    void Read(int station, uint32_t byte_addr, uint8_t* out, size_t n) const;
    void Write(int station, uint32_t byte_addr, const uint8_t* in, size_t n);
    void Clear();

    // Whole image of one station (kStationBytes).
    uint8_t* Image(int station) { return &mem_[static_cast<size_t>(station) * kStationBytes]; }
    const uint8_t* Image(int station) const {
        return &mem_[static_cast<size_t>(station) * kStationBytes];
    }

private:
    std::vector<uint8_t> mem_;
};

// One line for a person: what a request or reply block means.
// The reply description needs the request code it answers (0 if unknown).
std::string DescribeRange(uint16_t start, uint16_t end);
std::string DescribeRequest(const uint8_t* block, size_t n);
std::string DescribeReply(const uint8_t* block, size_t n);

}  // namespace p8sim
