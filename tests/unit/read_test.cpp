// Read transactions over the in-memory line: requests, decoding into the
// value area, the attempt rule and the refusals before any traffic.
#include "tests/unit/link_fixture.h"

namespace {

using namespace linktest;

const std::string kGetChar = "VAVE8> getChar() Unable to recieve byte from com port";
const std::string kNoStart = "VAVE8> Receive() timeout reading start character";

class ReadTest : public LinkTest {};

TEST_F(ReadTest, RequestsCarryStationAndNibbleRange) {
    struct Case {
        const char* name;
        Mode mode;
        int32_t station, type, item, count;
        Bytes request;
    };
    const Case cases[] = {
        {"single word", Mode::Single, 5, '4', 0x20, 1, {0xA2, 0x05, 0x00, 0x80, 0x00, 0x83}},
        {"single dword", Mode::Single, 1, '8', 0x10, 1, {0xA2, 0x01, 0x00, 0x80, 0x00, 0x87}},
        {"single float", Mode::Single, 1, '9', 0x10, 1, {0xA2, 0x01, 0x00, 0x80, 0x00, 0x87}},
        {"single ignores count",
         Mode::Single,
         3,
         '2',
         0x05,
         99,
         {0xA2, 0x03, 0x00, 0x0A, 0x00, 0x0B}},
        {"station low byte", Mode::Single, 0x105, '2', 0, 1, {0xA2, 0x05, 0x00, 0x00, 0x00, 0x01}},
        {"256 bytes", Mode::Block, 0, '2', 0, 256, {0xA2, 0x00, 0x00, 0x00, 0x01, 0xFF}},
        {"wraps past FFFF", Mode::Block, 0, '2', 0x7FF8, 16, {0xA2, 0x00, 0xFF, 0xF0, 0x00, 0x0F}},
        {"item address low 16 bits",
         Mode::Block,
         0,
         '4',
         0x10020,
         2,
         {0xA2, 0x00, 0x00, 0x80, 0x00, 0x87}},
        {"count 0 ends below start",
         Mode::Block,
         0,
         '4',
         0x20,
         0,
         {0xA2, 0x00, 0x00, 0x80, 0x00, 0x7F}},
        {"unknown type scale 1",
         Mode::Block,
         2,
         'X',
         0x20,
         3,
         {0xA2, 0x02, 0x00, 0x20, 0x00, 0x22}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        Gate(c.station, c.type, c.item, -1, c.count);
        if (c.mode == Mode::Single) {
            SingleRead(&call);
        } else {
            BlockRead(&call);
        }
        ASSERT_FALSE(memline::Requests().empty());
        EXPECT_EQ(memline::Requests()[0].block, c.request);
    }
}

TEST_F(ReadTest, SingleValuesLandInTheirSlots) {
    struct Case {
        const char* name;
        int32_t type, bit;
        Bytes data;     // item bytes of the data block
        size_t offset;  // slot offset
        uint32_t slot;
        bool wide;  // 32-bit slot
    };
    const Case cases[] = {
        {"byte", '2', -1, {0x80}, 2, 0x0080, false},
        {"bit 7 set", '2', 7, {0x80}, 2, 1, false},
        {"bit 6 clear", '2', 6, {0x80}, 2, 0, false},
        {"bit 0 set", '2', 0, {0x01}, 2, 1, false},
        {"word", '4', -1, {0x12, 0x34}, 2, 0x1234, false},
        {"dword", '8', -1, {0x01, 0x02, 0x03, 0x04}, 0, 0x01020304, true},
        {"float raw bits", '9', -1, {0x3F, 0x80, 0x00, 0x00}, 0, 0x3F800000, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        value.fill(0xEE);
        Bytes reply{3, 0};
        for (uint8_t byte : c.data) reply.push_back(byte);
        script.assign(memline::Requests().size(), Reply{});
        script.push_back(Block(reply));
        Gate(1, c.type, 0x40, c.bit);
        ASSERT_EQ(SingleRead(&call), 0);
        EXPECT_EQ(c.wide ? Slot32(0) : Slot16(2), c.slot);
        if (!c.wide) {
            EXPECT_EQ(Slot16(0), 0xEEEE) << "bytes 0 and 1 are the host's";
        }
        EXPECT_EQ(value[4], 0xEE) << "nothing past the slot";
        EXPECT_EQ(gate.bitNumber, c.bit);
    }
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(ReadTest, BlocksFillConsecutiveSlots) {
    for (size_t i = 0; i < 256; ++i) plc.memory[0x100 + i] = static_cast<uint8_t>(i ^ 0x5A);

    Gate(0, '2', 0x100, -1, 256);
    ASSERT_EQ(BlockRead(&call), 0);
    for (size_t i = 0; i < 256; ++i) ASSERT_EQ(Slot16(2 * i), (i ^ 0x5A)) << i;
    EXPECT_EQ(value[512], 0xEE);

    value.fill(0xEE);
    Gate(0, '4', 0x80, -1, 128);  // nibble 0x200: the same bytes as words
    ASSERT_EQ(BlockRead(&call), 0);
    EXPECT_EQ(Slot16(0), (0x5A << 8) | 0x5B);
    EXPECT_EQ(Slot16(254), ((254 ^ 0x5A) << 8) | (255 ^ 0x5A));
    EXPECT_EQ(value[256], 0xEE);

    value.fill(0xEE);
    Gate(0, '8', 0x40, -1, 64);
    ASSERT_EQ(BlockRead(&call), 0);
    EXPECT_EQ(Slot32(0), 0x5A5B5859u);
    EXPECT_EQ(value[256], 0xEE);
}

TEST_F(ReadTest, CountZeroOrBelowAsksAndStoresNothing) {
    for (int32_t count : {0, -5}) {
        Gate(0, '4', 0x20, -1, count);
        script.assign(memline::Requests().size(), Reply{});
        script.push_back(Block({3, 0}));
        EXPECT_EQ(BlockRead(&call), 0);
        EXPECT_EQ(value[0], 0xEE);
    }
    EXPECT_EQ(memline::Requests().size(), 2u);
}

struct AttemptCase {
    const char* name;
    std::vector<Reply> replies;
    int32_t result;
    size_t requests;
    Lines lines;
};

TEST_F(ReadTest, AttemptRule) {
    const Bytes data{3, 0, 0x12, 0x34};
    const std::string closing = "VAVE8> DoBlockRead() , ret val is 2";
    const std::string caller = "VAVE8> Single Read() , ret val is 2";
    const AttemptCase cases[] = {
        {"busy three times",
         {Block(ErrorBlock(0x0C)), Block(ErrorBlock(0x0C)), Block(ErrorBlock(0x0C))},
         2,
         3,
         {"VAVE8> DoBlockRead() Recieved ERROR block 0x0c retry 1",
          "VAVE8> DoBlockRead() Recieved ERROR block 0x0c retry 2",
          "VAVE8> DoBlockRead() Recieved ERROR block 0x0c retry 3", closing, caller}},
        {"0x25 then data",
         {Block(ErrorBlock(0x25)), Block(data)},
         0,
         2,
         {"VAVE8> DoBlockRead() Recieved ERROR block 0x25 retry 1"}},
        {"other error ends at once",
         {Block(ErrorBlock(0x01))},
         2,
         1,
         {"VAVE8> DoBlockRead() Recieved ERROR block 0x01 retry 1", closing, caller}},
        {"done block is unknown to a read",
         {Block({0}), Block(data)},
         0,
         2,
         {"VAVE8> DoBlockRead() Recieved UNKNOWN block 0x00 retry 1"}},
        {"silence then data",
         {Silence(), Block(data)},
         0,
         2,
         {kGetChar, kNoStart, "VAVE8> DoBlockRead() Read reply error retry 1"}},
        {"empty reply is short",
         {Block({}), Block(data)},
         0,
         2,
         {"VAVE8> DoBlockRead() Recieved short block, length 0 retry 1"}},
        {"error block without its code is short",
         {Block({1, 0, 0}), Block(data)},
         0,
         2,
         {"VAVE8> DoBlockRead() Recieved short block, length 3 retry 1"}},
        {"data block missing an item byte is short",
         {Block({3, 0, 0x12}), Block({3, 0}), Block(data)},
         0,
         3,
         {"VAVE8> DoBlockRead() Recieved short block, length 3 retry 1",
          "VAVE8> DoBlockRead() Recieved short block, length 2 retry 2"}},
        {"surplus is ignored", {Block({3, 0, 0x12, 0x34, 0x99, 0x98})}, 0, 1, {}},
        {"unknown type with one byte",
         {Block({7}), Block(data)},
         0,
         2,
         {"VAVE8> DoBlockRead() Recieved UNKNOWN block 0x07 retry 1"}},
    };
    for (const AttemptCase& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        script = c.replies;
        value.fill(0xEE);
        Gate(5, '4', 0x20);
        EXPECT_EQ(SingleRead(&call), c.result);
        EXPECT_EQ(memline::Requests().size(), c.requests);
        for (const memline::Request& r : memline::Requests()) EXPECT_EQ(r.block, Blocks()[0]);
        EXPECT_EQ(log.Texts(), c.lines);
        EXPECT_EQ(Slot16(2), c.result == 0 ? 0x1234 : 0xEEEE);
        EXPECT_EQ(memline::FlushCalls(), 1u) << "stale input dropped once, before attempt 1";
    }
}

TEST_F(ReadTest, SendFailureIsRetried) {
    memline::FailWrite(1);
    Gate(5, '4', 0x20);
    EXPECT_EQ(SingleRead(&call), 0);
    EXPECT_EQ(log.Texts(), (Lines{"VAVE8> putChar() Unable to send byte to com port",
                                  "VAVE8> Send() Unable to send start characters",
                                  "VAVE8> DoBlockRead() Send request error retry 1"}));
}

TEST_F(ReadTest, ShortReplyNeverDecodesAnEarlierReply) {
    // The first read leaves a complete data block in the reply buffer; an
    // empty reply must not make its bytes look like a fresh answer.
    plc.memory[0x40] = 0x11;
    plc.memory[0x41] = 0x22;
    Gate(0, '4', 0x20);
    ASSERT_EQ(SingleRead(&call), 0);
    ASSERT_EQ(Slot16(2), 0x1122);
    script = {Reply{}, Block({}), Block({}), Block({})};
    plc.memory[0x40] = 0x33;
    EXPECT_EQ(SingleRead(&call), 2);
    EXPECT_EQ(Slot16(2), 0x1122);
    EXPECT_EQ(log.Count("VAVE8> DoBlockRead() Recieved short block, length 0 retry 3"), 1u);
}

TEST_F(ReadTest, LateReplyStillCountsWithinTheTransaction) {
    // Attempt 1 times out at 1 s; its answer arrives at 1.5 s and is taken
    // by attempt 2, whose own answer is then left on the line.
    script = {Block({3, 0, 0xAB, 0xCD}, 1500), Silence()};
    Gate(0, '4', 0x20);
    EXPECT_EQ(SingleRead(&call), 0);
    EXPECT_EQ(Slot16(2), 0xABCD);
    EXPECT_EQ(memline::Requests().size(), 2u);
    EXPECT_EQ(memline::FlushMarks(), std::vector<size_t>{0});
}

TEST_F(ReadTest, LateReplyDoesNotAnswerTheNextTransaction) {
    // Three attempts time out; the answer to the third arrives after the
    // transaction gave up and must be dropped, not taken for the next read.
    script = {Silence(), Silence(), Block({3, 0, 0x0B, 0xAD}, 1500)};
    Gate(0, '4', 0x20);
    EXPECT_EQ(SingleRead(&call), 2);
    EXPECT_EQ(Slot16(2), 0xEEEE);
    memline::Advance(1000);  // the host's next scan
    plc.memory[0x40] = 0x60;
    plc.memory[0x41] = 0x0D;
    EXPECT_EQ(SingleRead(&call), 0);
    EXPECT_EQ(Slot16(2), 0x600D);
    EXPECT_EQ(memline::FlushCalls(), 2u);
}

TEST_F(ReadTest, RefusedBeforeAnyTraffic) {
    struct Case {
        const char* name;
        bool block;
        int32_t type, bit, count;
        bool nullValue;
        bool port;
        Lines lines;
    };
    const Case cases[] = {
        {"no port", false, '4', -1, 1, false, false, {"VAVE8> Single Read() , ret val is 1"}},
        {"no port, block", true, '4', -1, 4, false, false, {"VAVE8> BlockRead(), ret val is 1"}},
        {"257 bytes", true, '2', -1, 257, false, true, {"VAVE8> BlockRead(), blocksize too big"}},
        {"129 words", true, '4', -1, 129, false, true, {"VAVE8> BlockRead(), blocksize too big"}},
        {"65 dwords", true, '8', -1, 65, false, true, {"VAVE8> BlockRead(), blocksize too big"}},
        {"65 floats, no port",
         true,
         '9',
         -1,
         65,
         false,
         false,
         {"VAVE8> BlockRead(), blocksize too big"}},
        {"bit 8", false, '2', 8, 1, false, true, {"VAVE8> SingleRead() invalid bit number 8"}},
        {"bit -2", false, '2', -2, 1, false, true, {"VAVE8> SingleRead() invalid bit number -2"}},
        {"null area", false, '4', -1, 1, true, true, {"VAVE8> SingleRead() no value area"}},
        {"null area, block", true, '8', -1, 2, true, true, {"VAVE8> BlockRead() no value area"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        if (!c.port) inst.portHandle = 0;
        gate.value = c.nullValue ? nullptr : value.data();
        Gate(0, c.type, 0, c.bit, c.count);
        EXPECT_EQ(c.block ? BlockRead(&call) : SingleRead(&call), 1);
        EXPECT_TRUE(NoTraffic());
        EXPECT_EQ(log.Texts(), c.lines);
        EXPECT_EQ(value[0], 0xEE);
    }
}

TEST_F(ReadTest, LargestBlocksAreAccepted) {
    const std::pair<int32_t, int32_t> limits[] = {{'2', 256}, {'4', 128}, {'8', 64}, {'9', 64}};
    for (const auto& [type, count] : limits) {
        Gate(0, type, 0, -1, count);
        EXPECT_EQ(BlockRead(&call), 0) << static_cast<char>(type);
    }
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(ReadTest, NullAreaIsFineWhenNothingIsStored) {
    gate.value = nullptr;
    Gate(0, '4', 0, -1, 0);
    script = {Block({3, 0})};
    EXPECT_EQ(BlockRead(&call), 0);
    EXPECT_EQ(memline::Requests().size(), 1u);
}

TEST_F(ReadTest, UnknownMemoryTypeAsksButStoresNothing) {
    Gate(0, 'X', 0x20);
    script = {Block({3, 0, 1, 2, 3, 4})};
    EXPECT_EQ(SingleRead(&call), 1);
    EXPECT_EQ(memline::Requests().size(), 1u);
    EXPECT_EQ(value[0], 0xEE);
    EXPECT_EQ(value[2], 0xEE);
    EXPECT_EQ(log.Texts(), Lines{"VAVE8> Single Read() , ret val is 1"});
}

TEST_F(ReadTest, ThroughTheEntryPoint) {
    plc.memory[0x10] = 0x7F;
    Gate(0, '2', 0x10);
    call.function = FN_SINGLE_READ;
    EXPECT_EQ(NuvMain(&call), 0);
    EXPECT_EQ(Slot16(2), 0x007F);
}

}  // namespace
