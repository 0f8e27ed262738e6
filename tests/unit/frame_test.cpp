// The frame layer over the in-memory line: framing, doubling, CRC, the hunt
// for the start characters and every failure's log trail.
#include "link/frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/memline.h"

namespace {

using memline::Bytes;
using Lines = std::vector<std::string>;

const std::string kPutChar = "VAVE8> putChar() Unable to send byte to com port";
const std::string kGetChar = "VAVE8> getChar() Unable to recieve byte from com port";

class FrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        memline::Reset();
        const LineParams line{9600, 8, 0, 2};
        ASSERT_EQ(PortOpen("COM1", &line, 0x0303, &port), PORT_OK);
        PortSetReadTimeout(port, 100);
        buffer.fill(0xEE);
    }

    // Receives from the queued bytes; the buffer and length are kept.
    int32_t ReceiveFrom(const Bytes& bytes) {
        memline::Queue(bytes);
        return Receive(buffer.data(), &length, port);
    }

    Bytes Stored(int32_t n) const { return Bytes(buffer.begin(), buffer.begin() + n); }

    PortHandle port = 0;
    std::array<uint8_t, kBlockBufferSize + 16> buffer{};
    int32_t length = -1;
    memline::LogCapture log;
};

struct Worked {
    Bytes data;
    Bytes line;
};

const Worked kWorked[] = {
    {{0x61, 0x62, 0x63}, {0xF1, 0x59, 0x00, 0x03, 0x61, 0x62, 0x63, 0x6A}},
    {{0xF1, 0x02}, {0xF1, 0x59, 0x00, 0x02, 0xF1, 0xF1, 0x02, 0xC6}},
    {{0xD9}, {0xF1, 0x59, 0x00, 0x01, 0xD9, 0x59, 0x59}},
    {{}, {0xF1, 0x59, 0x00, 0x00, 0x00}},
};

TEST_F(FrameTest, WorkedFramesGoOutByteByByte) {
    for (const Worked& w : kWorked) {
        memline::Reset();
        ASSERT_EQ(PortOpen("COM1", nullptr, 0, &port), PORT_OK);
        EXPECT_EQ(Send(w.data.data(), static_cast<int32_t>(w.data.size()), port), 0);
        EXPECT_EQ(memline::Written(), w.line);
        EXPECT_EQ(memline::WriteCalls(), w.line.size()) << "one PortWrite per byte on the line";
    }
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(FrameTest, WorkedFramesComeInByteByByte) {
    for (const Worked& w : kWorked) {
        buffer.fill(0xEE);
        const size_t readsBefore = memline::ReadCalls();
        ASSERT_EQ(ReceiveFrom(w.line), 0);
        EXPECT_EQ(length, static_cast<int32_t>(w.data.size()));
        EXPECT_EQ(Stored(length), w.data);
        EXPECT_EQ(buffer[w.data.size()], 0xEE) << "nothing stored past the block";
        EXPECT_EQ(memline::ReadCalls() - readsBefore, w.line.size());
    }
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(FrameTest, LengthBytesAreDoubledAndLongBlocksRoundTrip) {
    struct Case {
        size_t size;
        Bytes lengthOnLine;
    };
    const Case cases[] = {{89, {0x00, 0x59, 0x59}}, {241, {0x00, 0xF1, 0xF1}}, {262, {0x01, 0x06}}};
    for (const Case& c : cases) {
        // Data full of bytes that need doubling, so the CRC sees every copy.
        Bytes data(c.size);
        for (size_t i = 0; i < c.size; ++i)
            data[i] = static_cast<uint8_t>(i % 3 == 0 ? 0xF1 : (i % 3 == 1 ? 0x59 : i));
        memline::Reset();
        ASSERT_EQ(PortOpen("COM1", nullptr, 0, &port), PORT_OK);
        ASSERT_EQ(Send(data.data(), static_cast<int32_t>(data.size()), port), 0);
        const Bytes& line = memline::Written();
        EXPECT_EQ(Bytes(line.begin() + 2, line.begin() + 2 + c.lengthOnLine.size()),
                  c.lengthOnLine);
        EXPECT_EQ(line, memline::Frame(data));
        ASSERT_EQ(memline::Requests().size(), 1u);
        EXPECT_TRUE(memline::Requests()[0].crcOk);

        buffer.fill(0xEE);
        ASSERT_EQ(ReceiveFrom(line), 0);
        EXPECT_EQ(Stored(length), data);
    }
}

TEST_F(FrameTest, TooLongAnnouncedLengthStoresNothing) {
    // 263 = 01 07: one more than a buffer holds.
    EXPECT_EQ(ReceiveFrom({0xF1, 0x59, 0x01, 0x07, 0x61, 0x62}), 2);
    EXPECT_EQ(length, 263);
    EXPECT_EQ(buffer[0], 0xEE);
    EXPECT_EQ(memline::ReadCalls(), 4u) << "no data byte is read";
    EXPECT_EQ(log.Texts(), Lines{"VAVE8> Recieve() invalid message length (too long)"});
}

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct ReceiveCase {
    const char* name;
    Bytes in;
    int32_t result;
    Bytes stored;  // buffer contents expected from position 0
    Lines lines;
};

TEST_F(FrameTest, HuntAndFailuresLogTheirTrail) {
    const ReceiveCase cases[] = {
        {"noise before the start pair", {0x33, 0x44, 0xF1, 0x59, 0x00, 0x00, 0x00}, 0, {}, {}},
        {"doubled F1 is dropped as a pair",
         {0xF1, 0xF1, 0x59, 0x00, 0x03, 0x61, 0x62, 0x63, 0x6A},
         2,
         {},
         {kGetChar, "VAVE8> Receive() timeout reading start character"}},
        {"third F1 starts", Cat({0xF1, 0xF1}, memline::Frame({0x41})), 0, {0x41}, {}},
        {"F1 20 F1 59 starts", Cat({0xF1, 0x20}, memline::Frame({0x41})), 0, {0x41}, {}},
        {"lone F1 then silence",
         {0xF1},
         2,
         {},
         {kGetChar, "VAVE8> Receive() timeout reading 2nd start character", kGetChar,
          "VAVE8> Receive() timeout reading start character"}},
        {"silence", {}, 2, {}, {kGetChar, "VAVE8> Receive() timeout reading start character"}},
        {"start pair inside data does not restart",
         {0xF1, 0x59, 0x00, 0x02, 0xF1, 0x59},
         2,
         {},
         {"VAVE8> Recieve() error in reading data part message"}},
        {"CRC changed",
         {0xF1, 0x59, 0x00, 0x03, 0x61, 0x62, 0x63, 0x6B},
         2,
         {0x61, 0x62, 0x63},
         {"VAVE8> Recieve() CRC check failed"}},
        {"length copy unequal",
         {0xF1, 0x59, 0x00, 0x59, 0x00},
         2,
         {},
         {"VAVE8> Recieve() unable to read length message"}},
        {"silence in the length",
         {0xF1, 0x59, 0x00},
         2,
         {},
         {kGetChar, "VAVE8> Recieve() unable to read length message"}},
        {"silence in the data keeps what came",
         {0xF1, 0x59, 0x00, 0x03, 0x61},
         2,
         {0x61, 0xEE},
         {kGetChar, "VAVE8> Recieve() error in reading data part message"}},
        {"silence instead of the CRC",
         {0xF1, 0x59, 0x00, 0x00},
         2,
         {},
         {kGetChar, "VAVE8> Recieve() unable to read CRC"}},
        {"CRC copy unequal",
         {0xF1, 0x59, 0x00, 0x01, 0xD9, 0x59, 0x00},
         2,
         {0xD9},
         {"VAVE8> Recieve() unable to read CRC"}},
    };
    for (const ReceiveCase& c : cases) {
        SCOPED_TRACE(c.name);
        memline::Reset();
        ASSERT_EQ(PortOpen("COM1", nullptr, 0, &port), PORT_OK);
        buffer.fill(0xEE);
        log.Clear();
        EXPECT_EQ(ReceiveFrom(c.in), c.result);
        EXPECT_EQ(Stored(static_cast<int32_t>(c.stored.size())), c.stored);
        EXPECT_EQ(log.Texts(), c.lines);
        for (const memline::LogLine& line : log.Lines()) EXPECT_EQ(line.level, 8);
    }
}

TEST_F(FrameTest, SilentLineCostsOneReadLimitPerWait) {
    // A lone F1 waits twice: once for its partner, once for a new start.
    memline::Queue({0xF1});
    EXPECT_EQ(Receive(buffer.data(), &length, port), 2);
    EXPECT_EQ(memline::Now(), 2000u);
    EXPECT_EQ(length, -1) << "untouched before both length bytes were read";
}

TEST_F(FrameTest, HuntGivesUpAfter2048DroppedBytes) {
    const Bytes frame = memline::Frame({0x42});
    struct Case {
        Bytes noise;
        int32_t result;
    };
    const Case cases[] = {
        {Bytes(2047, 0x00), 0},
        {Bytes(2048, 0x00), 2},
        {Bytes(2048, 0xF1), 2},  // F1 F1 pairs are dropped two at a time
    };
    for (const Case& c : cases) {
        memline::Reset();
        ASSERT_EQ(PortOpen("COM1", nullptr, 0, &port), PORT_OK);
        log.Clear();
        Bytes in = c.noise;
        in.insert(in.end(), frame.begin(), frame.end());
        EXPECT_EQ(ReceiveFrom(in), c.result);
        if (c.result == 0) {
            EXPECT_TRUE(log.Lines().empty());
        } else {
            EXPECT_EQ(log.Texts(), Lines{"VAVE8> Receive() no start characters in 2048 bytes"});
            EXPECT_EQ(memline::ReadCalls(), 2048u) << "not one byte more";
        }
    }
}

TEST_F(FrameTest, SendFailuresStopAtTheFailingByte) {
    // F1 02 goes as F1 59 00 02 F1 F1 02 C6: PortWrite calls 1 to 8.
    struct Case {
        size_t failingCall;
        int32_t code;
        uint32_t written;
        const char* line;
    };
    const Case cases[] = {
        {1, PORT_IO_FAILED, 0, "VAVE8> Send() Unable to send start characters"},
        {2, PORT_SHORT_WRITE, 0, "VAVE8> Send() Unable to send start characters"},
        {3, PORT_IO_FAILED, 0, "VAVE8> Send() Unable to send length of data"},
        {4, PORT_OK, 0, "VAVE8> Send() Unable to send length of data"},  // "success", no byte
        {5, PORT_IO_FAILED, 0, "VAVE8> Send() Unable to send data part"},
        {6, PORT_IO_FAILED, 0, "VAVE8> Send() Unable to send data part"},  // the copy
        {8, PORT_IO_FAILED, 0, "VAVE8> Send() Unable to send CRC"},
    };
    const Bytes data{0xF1, 0x02};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failingCall);
        memline::Reset();
        ASSERT_EQ(PortOpen("COM1", nullptr, 0, &port), PORT_OK);
        log.Clear();
        memline::FailWrite(c.failingCall, c.code, c.written);
        EXPECT_EQ(Send(data.data(), 2, port), 2);
        EXPECT_EQ(memline::WriteCalls(), c.failingCall) << "nothing written after the failure";
        EXPECT_EQ(log.Texts(), (Lines{kPutChar, c.line}));
    }
}

TEST_F(FrameTest, SendRefusesLengthsNoBufferHolds) {
    const Bytes data(300, 0x00);
    EXPECT_EQ(Send(data.data(), -1, port), 2);
    EXPECT_EQ(Send(data.data(), kBlockBufferSize + 1, port), 2);
    EXPECT_EQ(memline::WriteCalls(), 0u);
}

TEST(FrameCrcTest, RegisterRotatesRightThenTakesTheByte) {
    // The register trail of the worked frame "abc": 00, 03, E0, 12, 6A.
    uint8_t crc = 0;
    const uint8_t fed[] = {0x00, 0x03, 0x61, 0x62, 0x63};
    const uint8_t trail[] = {0x00, 0x03, 0xE0, 0x12, 0x6A};
    for (size_t i = 0; i < sizeof fed; ++i) {
        CrcUpdate(&crc, fed[i]);
        EXPECT_EQ(crc, trail[i]) << i;
    }
    crc = 0x01;
    CrcUpdate(&crc, 0x00);
    EXPECT_EQ(crc, 0x80) << "bit 0 moves to bit 7";
}

}  // namespace
