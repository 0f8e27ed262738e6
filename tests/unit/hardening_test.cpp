// The transactions keep their own limits when reached without the checks of
// the operations in front of them: no traffic for what they cannot carry out,
// and no byte outside the buffers and the value area, whatever count or bit
// number they are handed.
#include "tests/unit/link_fixture.h"

namespace {

using namespace linktest;

class HardeningTest : public LinkTest {};

TEST_F(HardeningTest, TransactionsRefuseWhatTheOperationsRefuse) {
    struct Case {
        const char* name;
        bool write;
        Mode mode;
        int32_t type, bit, count;
        bool noArea;
    };
    const Case cases[] = {
        {"read, bit 8", false, Mode::Single, '2', 8, 1, false},
        {"read, bit -2", false, Mode::Single, '2', -2, 1, false},
        {"read, no area", false, Mode::Block, '4', -1, 3, true},
        {"write, bit 9", true, Mode::Single, '2', 9, 1, false},
        {"write, no area", true, Mode::Single, '8', -1, 1, true},
        {"write, block of 257 bytes", true, Mode::Block, '2', -1, 257, false},
        {"write, block of 65 floats", true, Mode::Block, '9', -1, 65, false},
        {"write, negative count", true, Mode::Block, '4', -1, -1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        value.fill(0xEE);
        Gate(0, c.type, 0x10, c.bit, c.count);
        gate.value = c.noArea ? nullptr : value.data();
        const int32_t result = c.write ? DoBlockWrite(&call, c.mode) : DoBlockRead(&call, c.mode);
        EXPECT_EQ(result, 1);
        EXPECT_TRUE(NoTraffic());
        EXPECT_EQ(gate.bitNumber, c.bit);
        for (uint8_t b : value) ASSERT_EQ(b, 0xEE);
    }
}

TEST_F(HardeningTest, OversizedReadNeverDecodesPastTheReply) {
    // No data block can carry 300 bytes, so every attempt is refused as
    // short and nothing reaches the value area.
    Gate(0, '2', 0, -1, 300);
    EXPECT_EQ(DoBlockRead(&call, Mode::Block), 2);
    EXPECT_EQ(memline::Requests().size(), 3u);
    for (uint8_t b : value) ASSERT_EQ(b, 0xEE);
}

TEST_F(HardeningTest, DecodingAndEncodingStopAtTheBuffers) {
    // A reply buffer holds 260 data bytes behind its header: 260 '2' slots
    // or 130 '4' slots, never more.
    std::array<uint8_t, kBlockBufferSize> reply{};
    reply.fill(0x5A);
    for (const auto& [type, slots] : {std::pair{'2', 260}, std::pair{'4', 130}}) {
        SCOPED_TRACE(type);
        value.fill(0xEE);
        Gate(0, type, 0, -1, 1000);
        EXPECT_EQ(DecodeReadReply(&gate, reply.data(), Mode::Block), 0);
        EXPECT_NE(Slot16(2 * (slots - 1)), 0xEEEE);
        for (size_t i = 2 * slots; i < value.size(); ++i) ASSERT_EQ(value[i], 0xEE) << i;
    }

    // A request holds 256 data bytes behind its header.
    std::array<uint8_t, 300> data{};
    data.fill(0xEE);
    value.fill(0x11);
    Gate(0, '2', 0, -1, 1000);
    EXPECT_EQ(EncodeWriteData(&gate, data.data(), Mode::Block, &call), 0);
    EXPECT_EQ(data[255], 0x11);
    for (size_t i = 256; i < data.size(); ++i) ASSERT_EQ(data[i], 0xEE) << i;
    EXPECT_TRUE(NoTraffic());

    // A bit number out of range takes the whole byte instead of shifting by
    // it, and sends it without a read-back.
    reply[2] = 0x81;
    Gate(0, '2', 0, 8);
    EXPECT_EQ(DecodeReadReply(&gate, reply.data(), Mode::Single), 0);
    EXPECT_EQ(Slot16(2), 0x81);
    EXPECT_EQ(EncodeWriteData(&gate, data.data(), Mode::Single, &call), 0);
    EXPECT_EQ(data[0], 0x81);
    EXPECT_TRUE(NoTraffic());
}

}  // namespace
