// A hostile line under whole transfers: replies cut anywhere, lengths at and
// past the buffers, a byte flipped anywhere, answers that come late or twice.
// Each hostile case sits beside its valid twin, and the check is always the
// same: a transfer gives 0 only with the PLC's own values, and nothing lands
// outside the buffers it may use.
#include <algorithm>

#include "tests/unit/link_fixture.h"

namespace {

using namespace linktest;

const std::string kTooLong = "VAVE8> Recieve() invalid message length (too long)";
const std::string kReplyError1 = "VAVE8> DoBlockRead() Read reply error retry 1";

// The connection's instance with guard bytes right behind it: the reply
// buffer is its last field.
struct GuardedInstance {
    DriverInstance inst;
    std::array<uint8_t, 64> guard;
};

bool AllAre(const uint8_t* p, size_t n, uint8_t v) {
    return std::all_of(p, p + n, [v](uint8_t b) { return b == v; });
}

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class HostileLine : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        guarded.guard.fill(0xA5);
    }

    // Moves the connection into the guarded instance.
    void UseGuardedInstance() {
        guarded.inst = inst;
        call.instance = &guarded.inst;
    }

    bool GuardWhole() const { return AllAre(guarded.guard.data(), guarded.guard.size(), 0xA5); }

    // The slots of a block of '2' items must hold these PLC bytes.
    void ExpectByteSlots(const Bytes& bytes) {
        for (size_t i = 0; i < bytes.size(); ++i)
            ASSERT_EQ(Slot16(2 * i), bytes[i]) << "item " << i;
    }

    GuardedInstance guarded{};
};

TEST_F(HostileLine, EveryPrefixOfAReplyThenSilence) {
    // 87 byte items make a data block of 89 = 0x59 bytes, so the length's
    // low byte is doubled; the data are full of F1 and 59; the last item is
    // picked so that the CRC byte, the frame's last, is doubled as well.
    Gate(0, '2', 0x100, -1, 87);
    Bytes data(87);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i % 3 == 0 ? 0xF1 : i % 3 == 1 ? 0x59 : i);
    }
    Bytes frame;
    for (int last = 0; last < 256; ++last) {
        data.back() = static_cast<uint8_t>(last);
        frame = memline::Frame(Cat({3, 0}, data));
        if (frame.back() == 0xF1 || frame.back() == 0x59) break;
    }
    ASSERT_TRUE(frame.back() == 0xF1 || frame.back() == 0x59);
    ASSERT_EQ(frame[frame.size() - 2], frame.back()) << "the CRC byte goes twice";
    ASSERT_EQ(Bytes(frame.begin() + 2, frame.begin() + 5), (Bytes{0x00, 0x59, 0x59}));
    std::copy(data.begin(), data.end(), plc.memory.begin() + 0x100);

    for (size_t cut = 0; cut <= frame.size(); ++cut) {
        SCOPED_TRACE(testing::Message() << "first " << cut << " of " << frame.size() << " bytes");
        const Bytes prefix(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(cut));
        const bool whole = cut == frame.size();

        // Nothing more comes: only the whole frame is a reply.
        Fresh();
        value.fill(0xEE);
        script = {Raw(prefix), Silence(), Silence()};
        EXPECT_EQ(BlockRead(&call), whole ? 0 : 2);
        if (whole) {
            ExpectByteSlots(data);
        } else {
            EXPECT_TRUE(AllAre(value.data(), value.size(), 0xEE));
        }

        // The twin: the PLC answers the next attempt in full.
        Fresh();
        value.fill(0xEE);
        script = {Raw(prefix)};
        EXPECT_EQ(BlockRead(&call), 0);
        EXPECT_EQ(memline::Requests().size(), whole ? 1u : 2u);
        ExpectByteSlots(data);
        EXPECT_EQ(value[2 * data.size()], 0xEE);
    }
}

TEST_F(HostileLine, AnnouncedLengthsAroundTheBuffer) {
    // A block read of 256 bytes needs a data block of 258; the reply buffer
    // holds 262. Frames come from a "PLC" whose bytes differ from the real
    // one, so the values tell which reply was taken.
    for (size_t i = 0; i < 256; ++i) plc.memory[i] = static_cast<uint8_t>(i ^ 0x3C);
    auto dataBlock = [](size_t n) {
        Bytes block(n);
        for (size_t i = 0; i < n; ++i) block[i] = static_cast<uint8_t>(i * 7 + 1);
        if (n > 0) block[0] = 3;
        if (n > 1) block[1] = 0;
        return block;
    };
    struct Case {
        uint32_t length;
        Bytes line;
        bool takenFromFrame;  // else the PLC's answer to the second attempt
        Lines lines;
    };
    const Case cases[] = {
        {0,
         memline::Frame({}),
         false,
         {"VAVE8> DoBlockRead() Recieved short block, length 0 retry 1"}},
        {1,
         memline::Frame({3}),
         false,
         {"VAVE8> DoBlockRead() Recieved short block, length 1 retry 1"}},
        {261, memline::Frame(dataBlock(261)), true, {}},
        {262, memline::Frame(dataBlock(262)), true, {}},
        // Framed in full: the 263 bytes the driver never reads are hunted
        // through by the next attempt.
        {263, memline::Frame(dataBlock(263)), false, {kTooLong, kReplyError1}},
        {0xFFFF, {0xF1, 0x59, 0xFF, 0xFF, 3, 0, 1, 2}, false, {kTooLong, kReplyError1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        Fresh();
        UseGuardedInstance();
        std::memset(guarded.inst.reply, 0xDD, sizeof guarded.inst.reply);
        value.fill(0xEE);
        script = {Raw(c.line)};
        Gate(0, '2', 0, -1, 256);
        EXPECT_EQ(BlockRead(&call), 0);
        EXPECT_EQ(log.Texts(), c.lines);
        EXPECT_TRUE(GuardWhole());
        EXPECT_TRUE(AllAre(value.data() + 512, value.size() - 512, 0xEE));
        Bytes expected(256);
        for (size_t i = 0; i < 256; ++i) {
            expected[i] = c.takenFromFrame ? dataBlock(258)[2 + i] : plc.memory[i];
        }
        ExpectByteSlots(expected);
    }
}

TEST_F(HostileLine, OneByteFlippedAnywhereFailsTheFrame) {
    // A reply with doubled bytes in every field it can have them.
    const Bytes item{0xF1, 0x59, 0x12, 0x59};
    std::copy(item.begin(), item.end(), plc.memory.begin() + 0x80);
    const Bytes frame = memline::Frame(Cat({3, 0}, item));
    Gate(0, '8', 0x20);  // nibble 0x100: byte 0x80
    for (size_t at = 0; at < frame.size(); ++at) {
        for (const int mask : {0x01, 0x80, 0xFF, 0xA8}) {
            SCOPED_TRACE(testing::Message() << "byte " << at << " ^ " << mask);
            Bytes bad = frame;
            bad[at] = static_cast<uint8_t>(bad[at] ^ mask);

            Fresh();
            value.fill(0xEE);
            script = {Raw(bad), Silence(), Silence()};
            EXPECT_EQ(SingleRead(&call), 2);
            EXPECT_TRUE(AllAre(value.data(), value.size(), 0xEE));

            // The twin: a good frame follows in the next attempt.
            Fresh();
            value.fill(0xEE);
            script = {Raw(bad)};
            EXPECT_EQ(SingleRead(&call), 0);
            EXPECT_EQ(Slot32(0), 0xF1591259u);
        }
    }
}

TEST_F(HostileLine, TwoFramesBackToBack) {
    const Bytes mine{3, 0, 0x11, 0x22};
    const Bytes other{3, 0, 0x33, 0x44};
    Bytes badCrc = memline::Frame(mine);
    badCrc.back() ^= 0x01;
    plc.memory[0x40] = 0x60;
    plc.memory[0x41] = 0x0D;
    struct Case {
        const char* name;
        std::vector<Reply> replies;
        uint16_t value;
        size_t requests;
    };
    const Case cases[] = {
        {"one good frame", {Raw(memline::Frame(mine))}, 0x1122, 1},
        // The second frame is left on the line; the next transfer drops it.
        {"two good frames", {Raw(Cat(memline::Frame(mine), memline::Frame(other)))}, 0x1122, 1},
        // The good frame is already waiting when the second attempt starts:
        // a late answer to the same request, taken. The answer to the second
        // attempt is then left on the line.
        {"bad CRC, then a good frame",
         {Raw(Cat(badCrc, memline::Frame(other))), Block({3, 0, 0x55, 0x66})},
         0x3344,
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        value.fill(0xEE);
        script = c.replies;
        Gate(0, '4', 0x20);
        EXPECT_EQ(SingleRead(&call), 0);
        EXPECT_EQ(Slot16(2), c.value);
        EXPECT_EQ(memline::Requests().size(), c.requests);

        // Whatever is left answers nothing: the next read gets its own reply.
        memline::Advance(100);
        script.resize(memline::Requests().size());
        EXPECT_EQ(SingleRead(&call), 0);
        EXPECT_EQ(Slot16(2), 0x600D);
    }
}

TEST_F(HostileLine, LateWriteAnswers) {
    Gate(0, '4', 0x20);
    SetSlot16(2, 0xBEEF);

    // Late, but within the transfer: the second attempt takes it.
    script = {Block({0}, 1500), Silence()};
    EXPECT_EQ(SingleWrite(&call), 0);
    EXPECT_EQ(memline::Requests().size(), 2u);

    // Too late: the done block of a write that gave up must not answer the
    // next write, which the PLC refuses.
    Fresh();
    script = {Silence(), Silence(), Block({0}, 1500), Block(ErrorBlock(0x01))};
    EXPECT_EQ(SingleWrite(&call), 2);
    memline::Advance(1000);
    log.Clear();
    EXPECT_EQ(SingleWrite(&call), 2);
    EXPECT_EQ(log.Count("VAVE8> DoBlockWrite() Recieved ERROR block 0x01 retry 1"), 1u);
}

TEST_F(HostileLine, StaleReplySplitAcrossTheFlush) {
    // An old data block whose first part has arrived when the next read
    // starts and whose rest comes during it: the flush drops the first part,
    // the hunt the rest, at every split point. The read never takes it.
    // (A stale reply that comes entirely after the flush would be taken: no
    // byte of a reply names the request it answers.)
    const Bytes stale = memline::Frame({3, 0, 0xF1, 0x59});
    plc.memory[0x40] = 0x12;
    plc.memory[0x41] = 0x34;
    Gate(0, '4', 0x20);
    for (size_t split = 1; split <= stale.size(); ++split) {
        SCOPED_TRACE(split);
        Fresh();
        value.fill(0xEE);
        memline::Queue(Bytes(stale.begin(), stale.begin() + static_cast<std::ptrdiff_t>(split)));
        memline::Queue(Bytes(stale.begin() + static_cast<std::ptrdiff_t>(split), stale.end()), 500);
        EXPECT_EQ(SingleRead(&call), 0);
        EXPECT_EQ(Slot16(2), 0x1234);
        EXPECT_LE(memline::Requests().size(), 2u);
    }
}

TEST_F(HostileLine, LongestBlocksOfDoubledBytes) {
    // Every data byte goes on the line twice, and so do the header's
    // station and address bytes: twice the bytes, still one buffer's worth
    // of block.
    for (uint8_t fill : {uint8_t{0xF1}, uint8_t{0x59}}) {
        SCOPED_TRACE(int{fill});
        Fresh();
        UseGuardedInstance();
        value.fill(0xEE);
        for (size_t i = 0; i < 256; ++i) SetSlot16(2 * i, fill);
        // Nibble address F1 58 .. F3 57, or 59 58 .. 5B 57.
        Gate(fill, '2', (fill << 7) | 0x2C, -1, 256);
        ASSERT_EQ(BlockWrite(&call), 0);
        ASSERT_EQ(memline::Requests().size(), 1u);
        const memline::Request& request = memline::Requests()[0];
        EXPECT_TRUE(request.crcOk);
        ASSERT_EQ(request.block.size(), 262u);
        EXPECT_EQ(request.block[1], fill);
        EXPECT_EQ(request.block[2], fill);
        EXPECT_TRUE(AllAre(request.block.data() + 6, 256, fill));
        EXPECT_GE(memline::Written().size(), 2u * 256u);
        EXPECT_TRUE(GuardWhole());

        // And back: a data block of 258 bytes, 256 of them doubled.
        value.fill(0xEE);
        ASSERT_EQ(BlockRead(&call), 0);
        ExpectByteSlots(Bytes(256, fill));
        EXPECT_TRUE(AllAre(value.data() + 512, value.size() - 512, 0xEE));
        EXPECT_TRUE(GuardWhole());
    }
}

}  // namespace
