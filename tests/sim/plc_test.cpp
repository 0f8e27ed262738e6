#include "sim/plc.h"

#include <gtest/gtest.h>

#include "sim/codec.h"

namespace p8sim {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Header(uint8_t code, uint8_t station, uint16_t start, uint16_t end) {
    return {code,
            station,
            static_cast<uint8_t>(start >> 8),
            static_cast<uint8_t>(start),
            static_cast<uint8_t>(end >> 8),
            static_cast<uint8_t>(end)};
}

Bytes Serve(Plc& plc, const Bytes& block, bool* applied = nullptr) {
    bool a = false;
    Bytes r = plc.Execute(ParseRequest(block.data(), block.size()), &a);
    if (applied) *applied = a;
    return r;
}

TEST(SimPlc, WriteThenReadBackAcrossItemWidths) {
    Plc plc;
    Bytes w = Header(kReqWrite, 5, 0x0080, 0x0087);
    const Bytes data = {0x01, 0x02, 0x03, 0x04};
    w.insert(w.end(), data.begin(), data.end());
    bool applied = false;
    EXPECT_EQ(Serve(plc, w, &applied), (Bytes{kBlockDone, 5}));
    EXPECT_TRUE(applied);

    // The same bytes read back as one dword, two words and one byte; other
    // stations are untouched.
    EXPECT_EQ(Serve(plc, Header(kReqRead, 5, 0x0080, 0x0087)), (Bytes{3, 5, 1, 2, 3, 4}));
    EXPECT_EQ(Serve(plc, Header(kReqRead, 5, 0x0084, 0x0087)), (Bytes{3, 5, 3, 4}));
    EXPECT_EQ(Serve(plc, Header(kReqRead, 5, 0x0086, 0x0087)), (Bytes{3, 5, 4}));
    EXPECT_EQ(Serve(plc, Header(kReqRead, 6, 0x0080, 0x0087)), (Bytes{3, 6, 0, 0, 0, 0}));
    uint8_t b[4];
    plc.Read(5, 0x40, b, 4);
    EXPECT_EQ(Bytes(b, b + 4), data);
}

TEST(SimPlc, RangeWrapsPastFFFF) {
    Plc plc;
    Bytes image(kStationBytes);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 1);
    plc.Write(2, 0, image.data(), image.size());

    Bytes expect = {kBlockData, 2};
    for (uint32_t a = 0x7FF8; a < 0x8000; ++a) expect.push_back(image[a]);
    for (uint32_t a = 0; a < 8; ++a) expect.push_back(image[a]);
    EXPECT_EQ(Serve(plc, Header(kReqRead, 2, 0xFFF0, 0x000F)), expect);

    Bytes w = Header(kReqWrite, 2, 0xFFFC, 0x0003);
    w.insert(w.end(), {0xA0, 0xA1, 0xA2, 0xA3});
    EXPECT_EQ(Serve(plc, w), (Bytes{kBlockDone, 2}));
    uint8_t hi[2], lo[2];
    plc.Read(2, 0x7FFE, hi, 2);
    plc.Read(2, 0x0000, lo, 2);
    EXPECT_EQ(Bytes(hi, hi + 2), (Bytes{0xA0, 0xA1}));
    EXPECT_EQ(Bytes(lo, lo + 2), (Bytes{0xA2, 0xA3}));
}

// Requests the PLC cannot serve: each refused with an ERROR block naming
// the station and the request code, and memory left alone.
TEST(SimPlc, RefusesWhatItCannotServe) {
    auto write = [](uint16_t start, uint16_t end, size_t n) {
        Bytes b = Header(kReqWrite, 4, start, end);
        b.resize(b.size() + n, 0xEE);
        return b;
    };
    Bytes read_with_data = Header(kReqRead, 4, 0x0000, 0x0001);
    read_with_data.push_back(0);
    const struct {
        const char* what;
        Bytes block;
        uint8_t code;
    } cases[] = {
        {"unknown request code", Header(0xA7, 4, 0x0000, 0x0001), kErrUnknownRequest},
        {"odd start nibble", Header(kReqRead, 4, 0x0081, 0x0084), kErrNotWholeBytes},
        {"even end nibble", Header(kReqRead, 4, 0x0080, 0x0082), kErrNotWholeBytes},
        {"257 bytes", Header(kReqRead, 4, 0x0000, 0x0201), kErrTooLong},
        {"end one below start (65536 nibbles)", Header(kReqRead, 4, 0x0100, 0x00FF), kErrTooLong},
        {"write with a byte too few", write(0x0000, 0x0007, 3), kErrLengthMismatch},
        {"write with a byte too many", write(0x0000, 0x0007, 5), kErrLengthMismatch},
        {"write of 257 bytes", write(0x0000, 0x0201, 257), kErrTooLong},
        {"read with data bytes", read_with_data, kErrMalformed},
        {"header cut short", Bytes{kReqRead, 4, 0x00, 0x00}, kErrMalformed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Plc plc;
        bool applied = true;
        EXPECT_EQ(Serve(plc, c.block, &applied), (Bytes{kBlockError, 4, c.block[0], c.code}));
        EXPECT_FALSE(applied);
        uint8_t b[16];
        plc.Read(4, 0, b, sizeof b);
        EXPECT_EQ(Bytes(b, b + 16), Bytes(16, 0));
    }
}

TEST(SimPlc, LargestBlocksAreServed) {
    Plc plc;
    Bytes w = Header(kReqWrite, 0, 0x0000, 0x01FF);
    for (int i = 0; i < 256; ++i) w.push_back(static_cast<uint8_t>(i));
    ASSERT_EQ(w.size(), kMaxBlock);
    EXPECT_EQ(Serve(plc, w), (Bytes{kBlockDone, 0}));
    const Bytes r = Serve(plc, Header(kReqRead, 0, 0x0000, 0x01FF));
    ASSERT_EQ(r.size(), 258u);
    EXPECT_EQ(Bytes(r.begin() + 2, r.end()), Bytes(w.begin() + 6, w.end()));
}

TEST(SimPlc, DescribesRangesInItems) {
    EXPECT_EQ(DescribeRange(0x0080, 0x0083), "nibbles 0080-0083 = 2 bytes @0040 (1 word @0020)");
    EXPECT_EQ(DescribeRange(0x0080, 0x0087),
              "nibbles 0080-0087 = 4 bytes @0040 (2 words @0020, 1 dword @0010)");
    EXPECT_EQ(DescribeRange(0x0082, 0x0083), "nibbles 0082-0083 = 1 byte @0041");
    EXPECT_EQ(DescribeRange(0xFFF0, 0x000F),
              "nibbles FFF0-000F = 16 bytes @7FF8 (8 words @3FFC, 4 dwords @1FFE) wraps");
    EXPECT_EQ(DescribeRange(0x0081, 0x0083), "nibbles 0081-0083 = 3 nibbles (not whole bytes)");
}

}  // namespace
}  // namespace p8sim
