// The soak's picture of the world: a reproducible random source, the shadow
// of PLC memory that the soak alone writes, and one random transfer with what
// its value area must hold afterwards.
//
// Nothing here touches the driver or the line, so it builds the same for
// Linux and Windows.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace soak {

// splitmix64: the same numbers from the same seed on every compiler and
// library, so a Windows run and a Linux run of one seed agree.
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed) {}
    uint64_t Next();
    uint32_t Below(uint32_t n);  // 0 .. n-1; 0 when n is 0
    bool Percent(uint32_t p) { return Below(100) < p; }
    uint8_t Byte() { return static_cast<uint8_t>(Next() >> 56); }

private:
    uint64_t state_;
};

constexpr int kStationCount = 16;
constexpr uint32_t kStationBytes = 0x8000;
// The stations the soak talks to.
constexpr std::array<int, 4> kStations = {0, 5, 10, 15};
// Each station's window: 1.5 KiB that straddles the top of memory, so blocks
// that wrap past nibble address FFFF get their share of traffic.
constexpr uint32_t kWindowBase = kStationBytes - 0x300;
constexpr uint32_t kWindowBytes = 0x600;

inline uint32_t WindowAddress(uint32_t offset) {
    return (kWindowBase + offset) % kStationBytes;
}

// 32 KiB per station, as the simulated PLC holds it.
class Shadow {
public:
    Shadow();
    // The known starting state: a pattern from the seed in every window,
    // zero elsewhere.
    void Seed(uint64_t seed);
    uint8_t Get(int station, uint32_t byteAddr) const;
    void Set(int station, uint32_t byteAddr, uint8_t value);
    std::vector<uint8_t> Range(int station, uint32_t byteAddr, size_t n) const;
    void SetRange(int station, uint32_t byteAddr, const std::vector<uint8_t>& bytes);
    const uint8_t* Image(int station) const { return &mem_[station * size_t{kStationBytes}]; }

    // The image as the simulator loads and dumps it: "station:ADDR: XX ..."
    // in rows of 16 bytes, rows of zeros left out, after one comment line.
    bool WriteImage(const std::string& path, std::string* error) const;

private:
    std::vector<uint8_t> mem_;
};

enum class Kind { SingleRead, BlockRead, SingleWrite, BlockWrite };

// One transfer as a host would make it: a gate address text for the parser,
// then the operation on a value area of exactly the size it needs.
struct Op {
    Kind kind = Kind::SingleRead;
    int station = 0;
    char type = '2';
    uint32_t byteAddr = 0;  // first byte of PLC memory
    int bit = -1;           // single '2' only: 0..7, or -1 for the whole byte
    int32_t count = 1;      // items of a block
    // Refusals the driver must give before any traffic: the parser accepted
    // `parsedCount`, then the host handed a transfer with `count` instead.
    bool expectRefusal = false;
    int32_t parsedCount = 1;

    std::string address;  // the gate's address text
    uint32_t gateType = 0;

    bool IsWrite() const { return kind == Kind::SingleWrite || kind == Kind::BlockWrite; }
    bool IsBlock() const { return kind == Kind::BlockRead || kind == Kind::BlockWrite; }
    int ItemBytes() const;
    int32_t Items() const { return IsBlock() ? count : 1; }
    // PLC bytes the transfer covers (for a refusal: none).
    uint32_t Span() const;
    // Bytes of the value area.
    size_t AreaSize() const;
    std::string Describe() const;
};

// Largest block of a memory type, in items.
int32_t BlockLimit(char type);
int ItemBytesOf(char type);

// A random transfer inside the windows; `refusalPercent` of the block
// transfers get a count the driver must refuse.
Op RandomOp(Rng& rng, uint32_t refusalPercent);

// A block read of `n` bytes ('2' items) for checking PLC memory.
Op ByteBlockRead(int station, uint32_t byteAddr, int32_t n);

// What the value area must hold after the transfer succeeded, given the
// area before the call and the PLC bytes before (`plcBefore`, Span() bytes).
// For a read those bytes are what the PLC holds; for a write, the area is
// left alone except the slot of a bit write.
std::vector<uint8_t> AreaAfterRead(const Op& op, const std::vector<uint8_t>& area,
                                   const std::vector<uint8_t>& plc);
std::vector<uint8_t> AreaAfterWrite(const Op& op, const std::vector<uint8_t>& area);
// The PLC bytes a write leaves when it takes effect.
std::vector<uint8_t> BytesWritten(const Op& op, const std::vector<uint8_t>& area,
                                  const std::vector<uint8_t>& plcBefore);

std::string Hex(const std::vector<uint8_t>& bytes, size_t max = 32);

}  // namespace soak
