// Write transactions over the in-memory line: request data from the value
// area, the bit write by read-back, block limits and the attempt rule.
#include "tests/unit/link_fixture.h"

namespace {

using namespace linktest;

class WriteTest : public LinkTest {};

TEST_F(WriteTest, RequestsCarryTheValueMostSignificantFirst) {
    struct Case {
        const char* name;
        Mode mode;
        int32_t station, type, item, count;
        std::vector<uint32_t> slots;  // 16-bit for '2' and '4', 32-bit otherwise
        Bytes request;
    };
    const Case cases[] = {
        {"word",
         Mode::Single,
         5,
         '4',
         0x20,
         1,
         {0x1234},
         {0xA1, 0x05, 0x00, 0x80, 0x00, 0x83, 0x12, 0x34}},
        {"dword",
         Mode::Single,
         1,
         '8',
         0x10,
         1,
         {0x01020304},
         {0xA1, 0x01, 0x00, 0x80, 0x00, 0x87, 0x01, 0x02, 0x03, 0x04}},
        {"float raw bits",
         Mode::Single,
         1,
         '9',
         0x10,
         1,
         {0x3F800000},
         {0xA1, 0x01, 0x00, 0x80, 0x00, 0x87, 0x3F, 0x80, 0x00, 0x00}},
        {"byte is the slot's low byte",
         Mode::Single,
         2,
         '2',
         0x03,
         1,
         {0x01FF},
         {0xA1, 0x02, 0x00, 0x06, 0x00, 0x07, 0xFF}},
        {"byte block",
         Mode::Block,
         0,
         '2',
         0x7FFF,
         3,
         {0x0111, 0x0022, 0xFF33},
         {0xA1, 0x00, 0xFF, 0xFE, 0x00, 0x03, 0x11, 0x22, 0x33}},
        {"word block",
         Mode::Block,
         0,
         '4',
         0x01,
         2,
         {0xBEEF, 0x0102},
         {0xA1, 0x00, 0x00, 0x04, 0x00, 0x0B, 0xBE, 0xEF, 0x01, 0x02}},
        {"dword block",
         Mode::Block,
         0,
         '8',
         0x00,
         2,
         {0xA0B0C0D0, 0x00000001},
         {0xA1, 0x00, 0x00, 0x00, 0x00, 0x0F, 0xA0, 0xB0, 0xC0, 0xD0, 0, 0, 0, 1}},
        {"count 0: header only",
         Mode::Block,
         0,
         '4',
         0x20,
         0,
         {},
         {0xA1, 0x00, 0x00, 0x80, 0x00, 0x7F}},
        {"unknown type: header only, scale 1",
         Mode::Block,
         0,
         'Z',
         0x20,
         4,
         {0x1111},
         {0xA1, 0x00, 0x00, 0x20, 0x00, 0x23}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        value.fill(0xEE);
        const bool wide = c.type == '8' || c.type == '9';
        const size_t first = c.mode == Mode::Single && !wide ? 2 : 0;
        for (size_t i = 0; i < c.slots.size(); ++i) {
            if (wide) {
                SetSlot32(first + 4 * i, c.slots[i]);
            } else {
                SetSlot16(first + 2 * i, static_cast<uint16_t>(c.slots[i]));
            }
        }
        const auto before = value;
        Gate(c.station, c.type, c.item, -1, c.count);
        EXPECT_EQ(c.mode == Mode::Single ? SingleWrite(&call) : BlockWrite(&call), 0);
        ASSERT_EQ(memline::Requests().size(), 1u);
        EXPECT_EQ(memline::Requests()[0].block, c.request);
        EXPECT_EQ(value, before) << "a write leaves the value area alone";
    }
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(WriteTest, BitWriteReadsTheByteBackAndChangesOneBit) {
    struct Case {
        uint8_t plcByte;
        int32_t bit;
        uint16_t slot;  // slot at offset 2 before the write
        uint8_t sent;   // data byte of the write request
    };
    const Case cases[] = {
        {0x41, 3, 0x0001, 0x49}, {0xFF, 3, 0x0000, 0xF7},
        {0xFF, 3, 0x0100, 0xF7},  // the low byte decides: 0 clears
        {0x00, 7, 0x0080, 0x80}, {0x80, 0, 0x00FF, 0x81},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bit);
        Fresh();
        plc.memory[0x21] = c.plcByte;
        Gate(4, '2', 0x21, c.bit);
        SetSlot16(0, 0xEEEE);
        SetSlot16(2, c.slot);
        ASSERT_EQ(SingleWrite(&call), 0);
        const std::vector<Bytes> blocks = Blocks();
        ASSERT_EQ(blocks.size(), 2u);
        EXPECT_EQ(blocks[0], (Bytes{0xA2, 0x04, 0x00, 0x42, 0x00, 0x43}));
        EXPECT_EQ(blocks[1], (Bytes{0xA1, 0x04, 0x00, 0x42, 0x00, 0x43, c.sent}));
        EXPECT_EQ(plc.memory[0x21], c.sent);
        EXPECT_EQ(Slot16(2), c.slot & 0xFF) << "the byte to write, zero-extended";
        EXPECT_EQ(Slot16(0), 0xEEEE);
        EXPECT_EQ(gate.bitNumber, c.bit);
        // Stale input is dropped before the read-back and again before the write.
        EXPECT_EQ(memline::FlushMarks().size(), 2u);
        EXPECT_EQ(memline::FlushMarks()[0], 0u);
        EXPECT_GT(memline::FlushMarks()[1], 0u);
        EXPECT_TRUE(log.Lines().empty());
    }
}

TEST_F(WriteTest, FailedReadBackSendsNoWrite) {
    plc.memory[0x21] = 0xFF;
    script = {Silence(), Silence(), Silence()};
    Gate(4, '2', 0x21, 3);
    SetSlot16(2, 0x0100);
    EXPECT_EQ(SingleWrite(&call), 2);
    for (const Bytes& b : Blocks()) EXPECT_EQ(b[0], 0xA2);
    EXPECT_EQ(memline::Requests().size(), 3u);
    EXPECT_EQ(plc.memory[0x21], 0xFF);
    EXPECT_EQ(gate.bitNumber, 3);
    EXPECT_EQ(Slot16(2), 0x0000);
    const Lines texts = log.Texts();
    ASSERT_GE(texts.size(), 4u);
    EXPECT_EQ(
        Lines(texts.end() - 4, texts.end()),
        (Lines{"VAVE8> DoBlockRead() , ret val is 2", "VAVE8> Single Read() , ret val is 2",
               "VAVE8> DoBlockWrite() , ret val is 2", "VAVE8> Single Write() , ret val is 2"}));
}

TEST_F(WriteTest, AttemptRule) {
    struct Case {
        const char* name;
        std::vector<Reply> replies;
        int32_t result;
        size_t requests;
        Lines lines;
    };
    const std::string closing = "VAVE8> DoBlockWrite() , ret val is 2";
    const std::string caller = "VAVE8> Single Write() , ret val is 2";
    const Case cases[] = {
        {"done", {Block({0})}, 0, 1, {}},
        {"done with surplus", {Block({0, 9, 9})}, 0, 1, {}},
        {"data block is unknown to a write",
         {Block({3, 0, 1}), Block({0})},
         0,
         2,
         {"VAVE8> DoBlockWrite() Recieved UNKNOWN block 0x03 retry 1"}},
        {"busy three times",
         {Block(ErrorBlock(0x25)), Block(ErrorBlock(0x0C)), Block(ErrorBlock(0x25))},
         2,
         3,
         {"VAVE8> DoBlockWrite() Recieved ERROR block 0x25 retry 1",
          "VAVE8> DoBlockWrite() Recieved ERROR block 0x0c retry 2",
          "VAVE8> DoBlockWrite() Recieved ERROR block 0x25 retry 3", closing, caller}},
        {"other error ends at once",
         {Block(ErrorBlock(0x7F))},
         2,
         1,
         {"VAVE8> DoBlockWrite() Recieved ERROR block 0x7f retry 1", closing, caller}},
        {"empty and short error blocks",
         {Block({}), Block({1, 0}), Block({0})},
         0,
         3,
         {"VAVE8> DoBlockWrite() Recieved short block, length 0 retry 1",
          "VAVE8> DoBlockWrite() Recieved short block, length 2 retry 2"}},
        {"broken CRC then done",
         {Raw({0xF1, 0x59, 0x00, 0x01, 0x00, 0x02}), Block({0})},
         0,
         2,
         {"VAVE8> Recieve() CRC check failed", "VAVE8> DoBlockWrite() Read reply error retry 1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        script = c.replies;
        Gate(5, '4', 0x20);
        SetSlot16(2, 0x1234);
        EXPECT_EQ(SingleWrite(&call), c.result);
        EXPECT_EQ(memline::Requests().size(), c.requests);
        for (const Bytes& b : Blocks()) EXPECT_EQ(b, Blocks()[0]) << "same request each attempt";
        EXPECT_EQ(log.Texts(), c.lines);
        EXPECT_EQ(memline::FlushCalls(), 1u);
    }
}

TEST_F(WriteTest, SendFailureIsRetried) {
    Gate(5, '4', 0x20);
    memline::FailWrite(7);  // a data byte of attempt 1: the frame is cut short
    EXPECT_EQ(SingleWrite(&call), 0);
    EXPECT_EQ(log.Texts(), (Lines{"VAVE8> putChar() Unable to send byte to com port",
                                  "VAVE8> Send() Unable to send data part",
                                  "VAVE8> DoBlockWrite() Send request error retry 1"}));
    EXPECT_EQ(memline::Requests().size(), 1u) << "only the second frame is whole";
}

TEST_F(WriteTest, BlockLimits) {
    struct Case {
        int32_t type, count;
        bool accepted;
    };
    const Case cases[] = {
        {'2', 256, true}, {'2', 257, false}, {'4', 128, true},        {'4', 129, false},
        {'8', 64, true},  {'8', 65, false},  {'9', 64, true},         {'9', 65, false},
        {'2', -1, false}, {'Z', -1, false},  {'4', INT32_MIN, false},
    };
    for (const Case& c : cases) {
        for (bool port : {true, false}) {
            SCOPED_TRACE(testing::Message() << static_cast<char>(c.type) << c.count << port);
            Fresh();
            if (!port) inst.portHandle = 0;
            Gate(0, c.type, 0, -1, c.count);
            const int32_t result = BlockWrite(&call);
            if (!c.accepted) {
                EXPECT_EQ(result, 1);
                EXPECT_TRUE(NoTraffic());
                EXPECT_EQ(log.Texts(), Lines{"VAVE8> BlockWrite(), blocksize too big"});
            } else if (!port) {
                EXPECT_EQ(result, 1);
                EXPECT_TRUE(NoTraffic());
                EXPECT_EQ(log.Texts(), Lines{"VAVE8> BlockWrite(), ret val is 1"});
            } else {
                EXPECT_EQ(result, 0);
                ASSERT_EQ(memline::Requests().size(), 1u);
                EXPECT_EQ(memline::Requests()[0].block.size(), 262u);
            }
        }
    }
}

TEST_F(WriteTest, FullBlockOfDoubledBytes) {
    // 256 bytes of 0xF1 behind a header full of 0xF1 and 0x59: every byte on
    // the line goes twice, and the request still fits its buffer.
    for (size_t i = 0; i < 256; ++i) SetSlot16(2 * i, 0xF1);
    Gate(0xF1, '2', 0x78AC, -1, 256);  // start nibble F158, end F357
    ASSERT_EQ(BlockWrite(&call), 0);
    ASSERT_EQ(memline::Requests().size(), 1u);
    const memline::Request& r = memline::Requests()[0];
    EXPECT_TRUE(r.crcOk);
    ASSERT_EQ(r.block.size(), 262u);
    EXPECT_EQ(Bytes(r.block.begin(), r.block.begin() + 6),
              (Bytes{0xA1, 0xF1, 0xF1, 0x58, 0xF3, 0x57}));
    for (size_t i = 6; i < 262; ++i) ASSERT_EQ(r.block[i], 0xF1) << i;
    EXPECT_EQ(memline::Written().size(), memline::Frame(r.block).size());
    EXPECT_EQ(inst.reply[0], 0);
}

TEST_F(WriteTest, RefusedBeforeAnyTraffic) {
    struct Case {
        const char* name;
        int32_t type, bit;
        bool nullValue, port;
        Lines lines;
    };
    const Case cases[] = {
        {"bit write, no port", '2', 3, false, false, {"VAVE8> Single Write() , ret val is 1"}},
        {"bit 8", '2', 8, false, true, {"VAVE8> SingleWrite() invalid bit number 8"}},
        {"bit -7", '2', -7, false, true, {"VAVE8> SingleWrite() invalid bit number -7"}},
        {"null area", '4', -1, true, true, {"VAVE8> SingleWrite() no value area"}},
        {"null area, bit write", '2', 0, true, true, {"VAVE8> SingleWrite() no value area"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        if (!c.port) inst.portHandle = 0;
        gate.value = c.nullValue ? nullptr : value.data();
        SetSlot16(2, 0x0101);
        Gate(0, c.type, 0, c.bit);
        EXPECT_EQ(SingleWrite(&call), 1);
        EXPECT_TRUE(NoTraffic());
        EXPECT_EQ(log.Texts(), c.lines);
        EXPECT_EQ(gate.bitNumber, c.bit);
        EXPECT_EQ(Slot16(2), 0x0101);
    }
    gate.value = nullptr;
    Gate(0, '8', 0, -1, 1);
    EXPECT_EQ(BlockWrite(&call), 1);
    EXPECT_EQ(log.Texts().back(), "VAVE8> BlockWrite() no value area");
}

TEST_F(WriteTest, ThroughTheEntryPoint) {
    Gate(0, '4', 0x08, -1, 2);
    SetSlot16(0, 0xCAFE);
    SetSlot16(2, 0x0102);
    call.function = FN_BLOCK_WRITE;
    EXPECT_EQ(NuvMain(&call), 0);
    EXPECT_EQ(plc.memory[0x10], 0xCA);
    EXPECT_EQ(plc.memory[0x13], 0x02);
}

}  // namespace
