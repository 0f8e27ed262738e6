// The simulated PLC's own frame codec.
//
// A frame on the line: F1 59, a 16-bit length N (high byte first), N data
// bytes and one CRC byte. Every F1 or 59 after the start pair goes on the
// line twice, so an undoubled F1 59 can only ever be the start of a frame.
// The CRC register starts at 0; each length and data byte that goes on the
// line, each copy of a doubled byte included, rotates the register right by
// one bit and is then XORed into it. The CRC byte is the register after the
// last data byte.
//
// This codec is written apart from the driver's frame layer on purpose: a
// misreading of the line format in one is then caught by the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace p8sim {

constexpr uint8_t kStart1 = 0xF1;
constexpr uint8_t kStart2 = 0x59;
constexpr size_t kMaxBlock = 262;  // 6-byte request header + 256 data bytes

inline uint8_t CrcStep(uint8_t crc, uint8_t b) {
    return static_cast<uint8_t>(((crc >> 1) | (crc << 7)) ^ b);
}

// The CRC byte of a block, as the sender computes it.
uint8_t FrameCrc(const uint8_t* block, size_t n);

// Appends the line bytes of one frame carrying `block`. `crc_override`
// (0..255) replaces the correct CRC byte, for fault injection; -1 keeps it.
// The length is not checked: any n up to 65535 is framed as asked.
void EncodeFrame(const uint8_t* block, size_t n, std::vector<uint8_t>& out, int crc_override = -1);
std::vector<uint8_t> EncodeFrame(const std::vector<uint8_t>& block, int crc_override = -1);

// What the incremental decoder reports.
struct DecodeEvent {
    enum Type {
        kFrame,       // a complete frame with a good CRC; `data` is its block
        kCrcError,    // complete frame, CRC byte wrong; `data`, `got`, `expected`
        kTooLong,     // announced length above kMaxBlock; `count` is the length
        kBadCopy,     // F1 or 59 not followed by its copy; `got` is the byte
                      // seen instead, `expected` the byte that needed doubling
        kIncomplete,  // a partial frame abandoned after a silent gap
        kDropped,     // `count` bytes skipped while hunting for the start pair
    };
    Type type = kFrame;
    std::vector<uint8_t> data;
    size_t count = 0;
    uint8_t got = 0;
    uint8_t expected = 0;
    // Where on the line the event lies, counted in bytes fed since the
    // decoder was made: its first byte and one past its last. A frame runs
    // from its F1 to its CRC byte's copy; a broken frame ends before the byte
    // that broke it when that byte is looked at again.
    uint64_t begin = 0;
    uint64_t end = 0;
};

// Takes the incoming byte stream in chunks of any size and reports frames
// and framing errors. A byte that follows a lone F1 never counts as a first
// start character, so a doubled F1 met while hunting is dropped as a pair.
//
// Resynchronisation: when a doubled byte's copy does not match, the frame is
// dropped and the offending byte is looked at again while hunting; when the
// pair was an undoubled F1 59 a new frame starts right there, because that
// pair cannot occur inside a well-formed frame.
class Decoder {
public:
    void Feed(const uint8_t* p, size_t n, std::vector<DecodeEvent>& out);

    // The same, but stops after the byte that completed a frame or broke
    // one, so that a reader of several lines can interleave them frame by
    // frame. Returns the bytes taken; skipped bytes are reported when the
    // chunk is used up or a frame begins.
    size_t FeedUntilEvent(const uint8_t* p, size_t n, std::vector<DecodeEvent>& out);

    // True while a frame has begun but is not complete yet.
    bool MidFrame() const { return state_ != kHunt && state_ != kAfterF1; }

    // Abandons a partial frame (reported as kIncomplete) and reports pending
    // dropped bytes; a lone F1 awaiting its partner counts as dropped.
    void Flush(std::vector<DecodeEvent>& out);

private:
    enum State { kHunt, kAfterF1, kLenHi, kLenLo, kData, kCrc };

    void Byte(uint8_t b, std::vector<DecodeEvent>& out);
    void Hunt(uint8_t b, std::vector<DecodeEvent>& out);
    void BeginFrame(std::vector<DecodeEvent>& out);
    void Value(uint8_t v, std::vector<DecodeEvent>& out);
    void ReportDropped(std::vector<DecodeEvent>& out);
    void Push(DecodeEvent ev, uint64_t end, std::vector<DecodeEvent>& out);

    State state_ = kHunt;
    uint64_t pos_ = 0;          // offset of the byte being looked at
    uint64_t frame_begin_ = 0;  // offset of the current frame's F1
    uint64_t drop_end_ = 0;     // one past the last byte counted in dropped_
    bool copy_pending_ = false;
    uint8_t first_copy_ = 0;
    uint8_t crc_ = 0;
    size_t length_ = 0;
    size_t dropped_ = 0;
    std::vector<uint8_t> data_;
};

// Hex bytes separated by spaces, for traces and messages.
std::string HexBytes(const uint8_t* p, size_t n);
inline std::string HexBytes(const std::vector<uint8_t>& v) {
    return HexBytes(v.data(), v.size());
}

}  // namespace p8sim
