// Reads and writes of every memory type, single and block, between the
// driver and the simulated PLC's memory, with the request blocks the PLC
// received.
#include "e2e/e2e_fixture.h"

namespace e2e {
namespace {

class E2eTransfer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(plc.Started()) << plc.Error();
        ASSERT_EQ(host.ColdStart(plc.Port()), NUV_OK);
        log.clear();
    }

    LogCapture log;
    Plc plc;
    Host host;
};

// Gate types: 0 a 16-bit kind, 3 floating point, 4 a 32-bit kind, 6 digital.
struct SingleCase {
    const char* address;
    uint32_t gateType;
    int station;
    uint32_t byteAddress;
    Bytes memory;   // PLC bytes at the item
    Bytes request;  // the read request block
    int width;      // of the slot: 16 at offset 2, 32 at offset 0
    uint32_t value;
};

// clang-format off
const SingleCase kSingles[] = {
    {"0540080",  0,  5, 0x40,   {0x12, 0x34},       {0xA2, 0x05, 0x00, 0x80, 0x00, 0x83}, 16, 0x1234},
    {"0120010",  1,  1, 0x08,   {0x80},             {0xA2, 0x01, 0x00, 0x10, 0x00, 0x11}, 16, 0x0080},
    {"01200100", 6,  1, 0x08,   {0x80},             {0xA2, 0x01, 0x00, 0x10, 0x00, 0x11}, 16, 1},  // bit 7
    {"01200107", 6,  1, 0x08,   {0x80},             {0xA2, 0x01, 0x00, 0x10, 0x00, 0x11}, 16, 0},  // bit 0
    {"0380080",  4,  3, 0x40,   {1, 2, 3, 4},       {0xA2, 0x03, 0x00, 0x80, 0x00, 0x87}, 32, 0x01020304},
    {"0F90100",  3, 15, 0x80,   {0x3F, 0x80, 0, 0}, {0xA2, 0x0F, 0x01, 0x00, 0x01, 0x07}, 32, 0x3F800000},
    // Values and addresses holding the start characters, doubled on the line.
    {"0240020",  2,  2, 0x10,   {0xF1, 0x59},       {0xA2, 0x02, 0x00, 0x20, 0x00, 0x23}, 16, 0xF159},
    {"0280040",  5,  2, 0x20,   {0x59, 0xF1, 0xF1, 0x59},
                                                    {0xA2, 0x02, 0x00, 0x40, 0x00, 0x47}, 32, 0x59F1F159},
    {"022F158",  0,  2, 0x78AC, {0xF1},             {0xA2, 0x02, 0xF1, 0x58, 0xF1, 0x59}, 16, 0x00F1},
};
// clang-format on

// What a single transfer may touch: the 16-bit slot at 2 or the 32-bit one at 0.
void ExpectSlot(const Gate& gate, int width, uint32_t value) {
    if (width == 16) {
        EXPECT_EQ(gate.Slot16(2), value);
        EXPECT_EQ(gate.Slot16(0), 0xAAAA) << "bytes 0 and 1 are the host's";
    } else {
        EXPECT_EQ(gate.Slot32(0), value);
    }
    EXPECT_EQ(gate.Slot32(4), 0xAAAAAAAAu);
}

TEST_F(E2eTransfer, SingleReadsOfEveryMemoryType) {
    for (const SingleCase& c : kSingles) {
        SCOPED_TRACE(c.address);
        plc.sim.WriteMemory(c.station, c.byteAddress, c.memory);
    }
    for (const SingleCase& c : kSingles) {
        SCOPED_TRACE(c.address);
        Gate gate = host.Parse(c.address, c.gateType);
        EXPECT_EQ(host.Run(FN_SINGLE_READ, gate), NUV_OK);
        ExpectSlot(gate, c.width, c.value);
    }
    EXPECT_TRUE(log.lines().empty());
    const auto requests = plc.Requests(std::size(kSingles));
    ASSERT_EQ(requests.size(), std::size(kSingles));
    for (size_t i = 0; i < requests.size(); ++i) EXPECT_EQ(requests[i], kSingles[i].request) << i;
}

TEST_F(E2eTransfer, SingleWritesOfEveryMemoryType) {
    // The whole-byte and word cases of the read table, written back with
    // their values; a '2' slot sends only its low byte.
    size_t n = 0;
    for (const SingleCase& c : kSingles) {
        if (c.gateType == 6) continue;
        SCOPED_TRACE(c.address);
        Gate gate = host.Parse(c.address, c.gateType);
        if (c.width == 16) {
            gate.SetSlot16(2, static_cast<uint16_t>(c.gateType == 1 ? 0x0100 | c.value : c.value));
        } else {
            gate.SetSlot32(0, c.value);
        }
        const Bytes area = gate.value;
        EXPECT_EQ(host.Run(FN_SINGLE_WRITE, gate), NUV_OK);
        EXPECT_EQ(gate.value, area) << "a write leaves the value area alone";
        EXPECT_EQ(plc.sim.ReadMemory(c.station, c.byteAddress, c.memory.size()), c.memory);

        Bytes request = c.request;
        request[0] = 0xA1;
        request.insert(request.end(), c.memory.begin(), c.memory.end());
        const auto requests = plc.Requests(++n);
        ASSERT_EQ(requests.size(), n);
        EXPECT_EQ(requests.back(), request);
    }
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(E2eTransfer, BitWritesReadTheByteBackAndChangeOneBit) {
    struct Case {
        const char* address;  // bit digit d is bit 7 - d
        uint8_t plcByte;
        uint16_t slot;  // the byte to write is its low byte
        uint8_t sent;
    } cases[] = {
        {"01200104", 0x41, 1, 0x49},       // bit 3 set
        {"01200104", 0xFF, 0, 0xF7},       // bit 3 cleared
        {"01200104", 0xFF, 0x0100, 0xF7},  // low byte 0: cleared
        {"01200100", 0x00, 0x01FF, 0x80},  // bit 7 set
        {"01200107", 0xF1, 0, 0xF0},       // bit 0 cleared, F1 on the line
    };
    size_t n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address + std::string(" on ") + std::to_string(c.plcByte));
        plc.sim.WriteMemory(1, 0x08, {c.plcByte});
        Gate gate = host.Parse(c.address, 6);
        const int32_t bit = gate.transfer.bitNumber;
        gate.SetSlot16(2, c.slot);
        EXPECT_EQ(host.Run(FN_SINGLE_WRITE, gate), NUV_OK);
        EXPECT_EQ(plc.sim.ReadMemory(1, 0x08, 1), Bytes{c.sent});
        EXPECT_EQ(gate.Slot16(2), c.slot & 0xFF) << "the slot ends as the byte to write";
        EXPECT_EQ(gate.Slot16(0), 0xAAAA);
        EXPECT_EQ(gate.transfer.bitNumber, bit);

        n += 2;
        const auto requests = plc.Requests(n);
        ASSERT_EQ(requests.size(), n);
        EXPECT_EQ(requests[n - 2], (Bytes{0xA2, 0x01, 0x00, 0x10, 0x00, 0x11}));
        EXPECT_EQ(requests[n - 1], (Bytes{0xA1, 0x01, 0x00, 0x10, 0x00, 0x11, c.sent}));
    }
    EXPECT_TRUE(log.lines().empty());
}

// Blocks of 256 bytes of every memory type, and one that wraps past nibble
// address FFFF.
struct BlockCase {
    const char* address;
    int32_t count;
    uint32_t byteAddress;
    int itemBytes;
    Bytes header;  // request bytes 1 to 5: station, start and end nibble
};

const BlockCase kBlocks[] = {
    {"0020000", 256, 0x0000, 1, {0x00, 0x00, 0x00, 0x01, 0xFF}},
    {"0040200", 128, 0x0100, 2, {0x00, 0x02, 0x00, 0x03, 0xFF}},
    {"0080400", 64, 0x0200, 4, {0x00, 0x04, 0x00, 0x05, 0xFF}},
    {"0090600", 64, 0x0300, 4, {0x00, 0x06, 0x00, 0x07, 0xFF}},
    {"002FFF0", 16, 0x7FF8, 1, {0x00, 0xFF, 0xF0, 0x00, 0x0F}},
};

// Every byte value once per 256, F1 and 59 among them, in no simple order.
Bytes Pattern(size_t n, int seed) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) {
        out[i] = static_cast<uint8_t>(i * 167 + static_cast<size_t>(seed));
    }
    return out;
}

// The PLC bytes of a block, from its slots: big-endian items, a '2' slot
// giving its low byte.
Bytes FromSlots(const Gate& gate, const BlockCase& c) {
    Bytes out;
    for (int32_t i = 0; i < c.count; ++i) {
        const uint32_t v = c.itemBytes == 4 ? gate.Slot32(4 * static_cast<size_t>(i))
                                            : gate.Slot16(2 * static_cast<size_t>(i));
        for (int b = c.itemBytes - 1; b >= 0; --b) {
            out.push_back(static_cast<uint8_t>(v >> (8 * b)));
        }
    }
    return out;
}

TEST_F(E2eTransfer, BlockReadsAndWritesOf256Bytes) {
    size_t n = 0;
    for (const BlockCase& c : kBlocks) {
        SCOPED_TRACE(c.address);
        const size_t bytes = static_cast<size_t>(c.count * c.itemBytes);
        const size_t slotBytes = static_cast<size_t>(c.count) * (c.itemBytes == 4 ? 4 : 2);

        // Read: the PLC's bytes land in the slots, nothing beyond them.
        const Bytes held = Pattern(bytes, 13);
        plc.sim.WriteMemory(0, c.byteAddress, held);
        Gate gate = host.Parse(c.address, 0, c.count);
        EXPECT_EQ(host.Run(FN_BLOCK_READ, gate), NUV_OK);
        EXPECT_EQ(FromSlots(gate, c), held);
        if (c.itemBytes == 1) {
            for (int32_t i = 0; i < c.count; ++i) {
                EXPECT_LT(gate.Slot16(2 * static_cast<size_t>(i)), 0x100);
            }
        }
        EXPECT_EQ(gate.value[slotBytes], 0xAA);

        // Write: the slots reach the PLC; a '2' slot's high byte stays home.
        Gate out = host.Parse(c.address, 0, c.count);
        const Bytes sent = Pattern(bytes, 77);
        for (size_t i = 0; i < static_cast<size_t>(c.count); ++i) {
            const uint8_t* item = &sent[i * static_cast<size_t>(c.itemBytes)];
            if (c.itemBytes == 1) out.SetSlot16(2 * i, static_cast<uint16_t>(0xEE00 | item[0]));
            if (c.itemBytes == 2) {
                out.SetSlot16(2 * i, static_cast<uint16_t>(item[0] << 8 | item[1]));
            }
            if (c.itemBytes == 4) {
                out.SetSlot32(4 * i, static_cast<uint32_t>(item[0]) << 24 |
                                         static_cast<uint32_t>(item[1]) << 16 |
                                         static_cast<uint32_t>(item[2]) << 8 | item[3]);
            }
        }
        EXPECT_EQ(host.Run(FN_BLOCK_WRITE, out), NUV_OK);
        EXPECT_EQ(plc.sim.ReadMemory(0, c.byteAddress, bytes), sent);

        n += 2;
        const auto requests = plc.Requests(n);
        ASSERT_EQ(requests.size(), n);
        Bytes read{0xA2};
        read.insert(read.end(), c.header.begin(), c.header.end());
        Bytes write{0xA1};
        write.insert(write.end(), c.header.begin(), c.header.end());
        write.insert(write.end(), sent.begin(), sent.end());
        EXPECT_EQ(requests[n - 2], read);
        EXPECT_EQ(requests[n - 1], write);
    }
    EXPECT_TRUE(log.lines().empty());
    // The wrapped block's second half went to the bottom of the memory.
    const Bytes wrapped = Pattern(16, 77);
    EXPECT_EQ(plc.sim.ReadMemory(0, 0, 8), Bytes(wrapped.begin() + 8, wrapped.end()));
}

TEST_F(E2eTransfer, OversizedBlocksAreRefusedBeforeAnyTraffic) {
    const struct {
        uint32_t function;
        int32_t memoryType;
        int32_t count;
        const char* line;
    } cases[] = {
        {FN_BLOCK_READ, '2', 257, "VAVE8> BlockRead(), blocksize too big"},
        {FN_BLOCK_READ, '4', 129, "VAVE8> BlockRead(), blocksize too big"},
        {FN_BLOCK_READ, '8', 65, "VAVE8> BlockRead(), blocksize too big"},
        {FN_BLOCK_READ, '9', 65, "VAVE8> BlockRead(), blocksize too big"},
        {FN_BLOCK_WRITE, '2', 257, "VAVE8> BlockWrite(), blocksize too big"},
        {FN_BLOCK_WRITE, '4', 129, "VAVE8> BlockWrite(), blocksize too big"},
        {FN_BLOCK_WRITE, '9', 65, "VAVE8> BlockWrite(), blocksize too big"},
        {FN_BLOCK_WRITE, '4', -1, "VAVE8> BlockWrite(), blocksize too big"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.function) + " " + char(c.memoryType) + " x " +
                     std::to_string(c.count));
        log.clear();
        Gate gate;
        gate.transfer.station = 1;
        gate.transfer.memoryType = c.memoryType;
        gate.transfer.bitNumber = -1;
        gate.transfer.count = c.count;
        gate.value.assign(1200, 0xAA);
        EXPECT_EQ(host.Run(c.function, gate), NUV_REJECTED);
        EXPECT_EQ(Trail(log), At8({c.line}));
        EXPECT_EQ(gate.value, Bytes(1200, 0xAA));
    }
    // Nothing went out: the next request the PLC sees is the first.
    Gate probe = host.Parse("0140000", 0);
    EXPECT_EQ(host.Run(FN_SINGLE_READ, probe), NUV_OK);
    EXPECT_EQ(plc.Requests(1).size(), 1u);
    EXPECT_EQ(plc.sim.GetCounters().bytes_in,
              p8sim::EncodeFrame({0xA2, 0x01, 0x00, 0x00, 0x00, 0x03}).size());
}

}  // namespace
}  // namespace e2e
