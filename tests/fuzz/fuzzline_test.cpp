// The fuzz harnesses' line must behave as the tests' line does: the
// harnesses' timing and frame checks are only as good as these rules.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/fuzz/fuzzline.h"

namespace {

using Bytes = std::vector<uint8_t>;

PortHandle Open(const char* name = "COM1", int32_t ticks = 10) {
    PortHandle port = 0;
    EXPECT_EQ(PortOpen(name, nullptr, 0, &port), PORT_OK);
    PortSetReadTimeout(port, ticks);
    return port;
}

TEST(FuzzLine, ReadsWaitTheirLimitAndNoLonger) {
    struct Case {
        const char* what;
        uint64_t delay;   // when the byte arrives
        int32_t result;   // of a one-byte read with a 100 ms limit
        uint64_t nowAfter;
    };
    const Case cases[] = {
        {"arrived", 0, PORT_OK, 0},
        {"within the limit", 100, PORT_OK, 100},
        {"too late", 101, PORT_IO_FAILED, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fuzzline::Reset();
        const PortHandle port = Open();
        const uint8_t byte = 0x42;
        fuzzline::Queue(&byte, 1, c.delay);
        uint8_t got = 0;
        uint32_t received = 99;
        EXPECT_EQ(PortRead(port, &got, 1, &received), c.result);
        EXPECT_EQ(received, c.result == PORT_OK ? 1u : 0u);
        EXPECT_EQ(fuzzline::Now(), c.nowAfter);
    }
}

TEST(FuzzLine, LongReadsTakeWhatArrivesPassByPassAndBytesNeverOvertake) {
    fuzzline::Reset();
    const PortHandle port = Open();
    const uint8_t first[] = {1, 2};
    const uint8_t second[] = {3};
    fuzzline::Queue(first, 2, 150);
    fuzzline::Queue(second, 1, 0);  // behind the earlier bytes all the same
    EXPECT_EQ(fuzzline::QueuedAt(2), 150u);
    uint8_t got[4] = {};
    uint32_t received = 0;
    // The first read ends silent at 100 ms; the second takes all three by
    // 200 ms and waits one more limit in vain.
    EXPECT_EQ(PortRead(port, got, 4, &received), PORT_IO_FAILED);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(PortRead(port, got, 4, &received), PORT_IO_FAILED);
    EXPECT_EQ(received, 3u);
    EXPECT_EQ(Bytes(got, got + 3), (Bytes{1, 2, 3}));
    EXPECT_EQ(fuzzline::Now(), 300u);
    EXPECT_EQ(fuzzline::Pending(), 0u);
}

TEST(FuzzLine, FlushDropsOnlyWhatHasArrivedAndHistoryStays) {
    fuzzline::Reset();
    const PortHandle port = Open();
    fuzzline::QueueRun(0xAA, 3, 0);
    fuzzline::QueueRun(0xBB, 2, 50);
    EXPECT_EQ(PortFlushInput(port), 0);
    EXPECT_EQ(fuzzline::Taken(), 3u);
    EXPECT_EQ(fuzzline::Queued(), 5u);
    EXPECT_EQ(fuzzline::QueuedByte(0), 0xAA);
    EXPECT_EQ(PortFlushInput(0), 1);
    EXPECT_EQ(fuzzline::FlushCalls(), 2u);
}

TEST(FuzzLine, WrittenFramesAreDecodedAndAnswered) {
    fuzzline::Reset();
    const PortHandle port = Open();
    static Bytes answered;
    fuzzline::SetResponder(
        [](void*, const fuzzline::Request& r) { answered.assign(r.block, r.block + r.size); },
        nullptr);
    const uint8_t block[] = {0xA2, 0xF1, 0x59, 0x00};
    uint8_t frame[2 * sizeof block + 8];
    const size_t size = fuzzline::Frame(block, sizeof block, frame);
    EXPECT_EQ(size, 2 + 2 + 4 + 2 + 1u);  // both start characters doubled
    uint32_t written = 0;
    // Noise and a frame with broken doubling first: neither is a request.
    const uint8_t noise[] = {0x00, 0xF1, 0x59, 0x00, 0x01, 0xF1, 0x00};
    EXPECT_EQ(PortWrite(port, noise, sizeof noise, &written), PORT_OK);
    EXPECT_EQ(PortWrite(port, frame, static_cast<uint32_t>(size), &written), PORT_OK);
    ASSERT_EQ(fuzzline::RequestCount(), 1u);
    EXPECT_TRUE(fuzzline::RequestAt(0).crcOk);
    EXPECT_EQ(answered, Bytes(block, block + sizeof block));
    EXPECT_EQ(fuzzline::WrittenCount(), sizeof noise + size);

    frame[size - 1] ^= 1;
    EXPECT_EQ(PortWrite(port, frame, static_cast<uint32_t>(size), &written), PORT_OK);
    ASSERT_EQ(fuzzline::RequestCount(), 2u);
    EXPECT_FALSE(fuzzline::RequestAt(1).crcOk);
}

TEST(FuzzLine, FailedWritePutsNothingOnTheLine) {
    fuzzline::Reset();
    const PortHandle port = Open();
    const uint8_t byte = 7;
    uint32_t written = 0;
    fuzzline::FailWrite(2);
    EXPECT_EQ(PortWrite(port, &byte, 1, &written), PORT_OK);
    EXPECT_EQ(PortWrite(port, &byte, 1, &written), PORT_IO_FAILED);
    EXPECT_EQ(PortWrite(port, &byte, 1, &written), PORT_OK);
    EXPECT_EQ(fuzzline::WrittenCount(), 2u);
    EXPECT_EQ(fuzzline::WriteCalls(), 3u);
}

TEST(FuzzLine, PortsAreExclusiveButTheNullDeviceAndResetForgetsThem) {
    fuzzline::Reset();
    PortHandle port = 0;
    const PortHandle com1 = Open("COM1");
    EXPECT_EQ(PortOpen("COM1", nullptr, 0, &port), PORT_OPEN_FAILED);
    EXPECT_EQ(port, kInvalidPortHandle);
    EXPECT_EQ(PortOpen("MISSING7", nullptr, 0, &port), PORT_OPEN_FAILED);
    const PortHandle null1 = Open("NUL");
    const PortHandle null2 = Open("NUL");
    EXPECT_NE(null1, null2);
    EXPECT_EQ(fuzzline::OpenCount(), 3u);
    EXPECT_STREQ(fuzzline::PortName(null2), "NUL");
    uint8_t got = 0;
    uint32_t received = 0;
    EXPECT_EQ(PortRead(null1, &got, 1, &received), PORT_IO_FAILED);
    // A closed port reads nothing, though it was the last one read and
    // bytes are waiting; neither does a handle no open gave.
    fuzzline::QueueRun(0x42, 2, 0);
    EXPECT_EQ(PortRead(com1, &got, 1, &received), PORT_OK);
    EXPECT_EQ(PortClose(com1), PORT_OK);
    EXPECT_EQ(PortClose(com1), PORT_IO_FAILED);
    EXPECT_FALSE(fuzzline::IsOpen(com1));
    for (const PortHandle gone : {com1, PortHandle{0}}) {
        received = 9;
        EXPECT_EQ(PortRead(gone, &got, 1, &received), PORT_IO_FAILED);
        EXPECT_EQ(received, 0u);
    }
    EXPECT_EQ(fuzzline::Pending(), 1u);
    Open("COM1");

    fuzzline::Reset();
    EXPECT_EQ(fuzzline::OpenCount(), 0u);
    EXPECT_FALSE(fuzzline::IsOpen(null1));
    EXPECT_EQ(Open("COM1"), 1u);
}

}  // namespace
