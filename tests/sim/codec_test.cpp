#include "sim/codec.h"

#include <gtest/gtest.h>

#include <random>

namespace p8sim {
namespace {

using Bytes = std::vector<uint8_t>;

enum Chunking { kWhole, kBytewise, kEventByEvent };

std::vector<DecodeEvent> Decode(const Bytes& line, int chunking = kWhole) {
    Decoder d;
    std::vector<DecodeEvent> ev;
    if (chunking == kBytewise) {
        for (uint8_t b : line) d.Feed(&b, 1, ev);
    } else if (chunking == kEventByEvent) {
        for (size_t at = 0; at < line.size();) {
            const size_t before = ev.size();
            const size_t taken = d.FeedUntilEvent(line.data() + at, line.size() - at, ev);
            EXPECT_TRUE(at + taken == line.size() || ev.size() > before);
            at += taken;
        }
    } else {
        d.Feed(line.data(), line.size(), ev);
    }
    return ev;
}

std::vector<Bytes> Frames(const std::vector<DecodeEvent>& ev) {
    std::vector<Bytes> out;
    for (const auto& e : ev) {
        if (e.type == DecodeEvent::kFrame) out.push_back(e.data);
    }
    return out;
}

size_t CountOf(const std::vector<DecodeEvent>& ev, DecodeEvent::Type t) {
    size_t n = 0;
    for (const auto& e : ev) n += e.type == t;
    return n;
}

size_t Dropped(const std::vector<DecodeEvent>& ev) {
    size_t n = 0;
    for (const auto& e : ev) {
        if (e.type == DecodeEvent::kDropped) n += e.count;
    }
    return n;
}

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

TEST(SimCodec, WorkedFramesBothWays) {
    for (const Worked& w : kWorked) {
        SCOPED_TRACE(HexBytes(w.line));
        EXPECT_EQ(EncodeFrame(w.data), w.line);
        for (int chunking : {kWhole, kBytewise, kEventByEvent}) {
            auto ev = Decode(w.line, chunking);
            ASSERT_EQ(ev.size(), 1u);
            EXPECT_EQ(ev[0].type, DecodeEvent::kFrame);
            EXPECT_EQ(ev[0].data, w.data);
        }
    }
}

TEST(SimCodec, LengthBytesAreDoubled) {
    const struct {
        size_t n;
        Bytes length_on_line;
    } cases[] = {{89, {0x00, 0x59, 0x59}}, {241, {0x00, 0xF1, 0xF1}}, {262, {0x01, 0x06}}};
    for (const auto& c : cases) {
        const Bytes line = EncodeFrame(Bytes(c.n, 0x00));
        ASSERT_GE(line.size(), 2 + c.length_on_line.size());
        EXPECT_EQ(
            Bytes(line.begin() + 2, line.begin() + 2 + static_cast<long>(c.length_on_line.size())),
            c.length_on_line)
            << c.n;
        EXPECT_EQ(Frames(Decode(line)), std::vector<Bytes>{Bytes(c.n, 0x00)});
    }
}

TEST(SimCodec, BadCrcOverrideStillDoubled) {
    // 0x59 as the CRC byte must still go out doubled, or the receiver would
    // take the frame's tail for a broken doubling instead of a bad CRC.
    const Bytes line = EncodeFrame({0x61}, 0x59);
    EXPECT_EQ(line, (Bytes{0xF1, 0x59, 0x00, 0x01, 0x61, 0x59, 0x59}));
    auto ev = Decode(line);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].type, DecodeEvent::kCrcError);
    EXPECT_EQ(ev[0].got, 0x59);
    EXPECT_EQ(ev[0].expected, FrameCrc(Bytes{0x61}.data(), 1));
}

// Hunting and resynchronisation: what the decoder makes of a byte stream.
TEST(SimDecoder, HuntsAndResynchronises) {
    const Bytes abc = {0x61, 0x62, 0x63};
    const struct {
        const char* what;
        Bytes line;
        std::vector<Bytes> frames;
        size_t crc_errors, framing_errors, dropped;
    } cases[] = {
        {"noise before a frame", {0x33, 0x44, 0xF1, 0x59, 0x00, 0x00, 0x00}, {{}}, 0, 0, 2},
        {"doubled F1 is dropped as a pair",
         {0xF1, 0xF1, 0x59, 0x00, 0x03, 0x61, 0x62, 0x63, 0x6A},
         {},
         0,
         0,
         9},
        {"F1 F1 F1 59 starts after the fourth byte",
         {0xF1, 0xF1, 0xF1, 0x59, 0x00, 0x03, 0x61, 0x62, 0x63, 0x6A},
         {abc},
         0,
         0,
         2},
        {"F1 20 F1 59 starts after the fourth byte",
         {0xF1, 0x20, 0xF1, 0x59, 0x00, 0x03, 0x61, 0x62, 0x63, 0x6A},
         {abc},
         0,
         0,
         2},
        {"undoubled start pair inside a frame begins a new one",
         {0xF1, 0x59, 0x00, 0x02, 0xF1, 0x59, 0x00, 0x03, 0x61, 0x62, 0x63, 0x6A},
         {abc},
         0,
         1,
         0},
        {"59 whose copy is F1: the F1 may start the next frame",
         {0xF1, 0x59, 0x00, 0x02, 0x59, 0xF1, 0x59, 0x00, 0x00, 0x00},
         {{}},
         0,
         1,
         0},
        {"too long: dropped before data, next frame found",
         {0xF1, 0x59, 0x01, 0x07, 0x01, 0x02, 0xF1, 0x59, 0x00, 0x00, 0x00},
         {{}},
         0,
         1,
         2},
        {"bad CRC, then a good frame",
         {0xF1, 0x59, 0x00, 0x03, 0x61, 0x62, 0x63, 0x6B, 0xF1, 0x59, 0x00, 0x00, 0x00},
         {{}},
         1,
         0,
         0},
        {"doubled data does not look like a start pair while hunting",
         {0x00, 0xF1, 0xF1, 0x59, 0x59, 0xF1, 0x59, 0x00, 0x00, 0x00},
         {{}},
         0,
         0,
         5},
    };
    for (const auto& c : cases) {
        for (int chunking : {kWhole, kBytewise, kEventByEvent}) {
            SCOPED_TRACE(std::string(c.what) + " chunking " + std::to_string(chunking));
            auto ev = Decode(c.line, chunking);
            EXPECT_EQ(Frames(ev), c.frames);
            EXPECT_EQ(CountOf(ev, DecodeEvent::kCrcError), c.crc_errors);
            EXPECT_EQ(CountOf(ev, DecodeEvent::kTooLong) + CountOf(ev, DecodeEvent::kBadCopy),
                      c.framing_errors);
            EXPECT_EQ(Dropped(ev), c.dropped);
            // Every byte of the line belongs to exactly one event, in order:
            // what a monitor needs to time and show each one.
            uint64_t at = 0;
            for (const DecodeEvent& e : ev) {
                EXPECT_EQ(e.begin, at) << "event type " << e.type;
                EXPECT_GT(e.end, e.begin);
                at = e.end;
            }
            EXPECT_EQ(at, c.line.size());
        }
    }
}

TEST(SimDecoder, FlushAbandonsPartialFrame) {
    Decoder d;
    std::vector<DecodeEvent> ev;
    const Bytes part = {0xF1, 0x59, 0x00, 0x06, 0xA2, 0x03};
    d.Feed(part.data(), part.size(), ev);
    EXPECT_TRUE(ev.empty());
    EXPECT_TRUE(d.MidFrame());
    d.Flush(ev);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].type, DecodeEvent::kIncomplete);
    EXPECT_EQ(ev[0].data, (Bytes{0xA2, 0x03}));
    EXPECT_FALSE(d.MidFrame());
    // A fresh frame decodes after the flush even though its bytes would
    // otherwise have been taken as the rest of the old one.
    ev.clear();
    const Bytes next = EncodeFrame({0x61, 0x62, 0x63});
    d.Feed(next.data(), next.size(), ev);
    EXPECT_EQ(Frames(ev), std::vector<Bytes>{Bytes({0x61, 0x62, 0x63})});
}

// Random blocks, rich in F1 and 59, framed and interleaved with noise that
// holds no F1, come out unchanged and in order, whatever the chunking.
TEST(SimDecoder, RoundTripsRandomBlocksThroughNoise) {
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> len(0, 262), coin(0, 3), byte(0, 255), chunk(1, 40);
    std::vector<Bytes> blocks;
    Bytes line;
    for (int i = 0; i < 300; ++i) {
        for (int g = coin(rng); g > 0; --g) {
            int b = byte(rng);
            line.push_back(static_cast<uint8_t>(b == 0xF1 ? 0x00 : b));
        }
        Bytes block(static_cast<size_t>(len(rng)));
        for (auto& b : block) {
            const int r = coin(rng);
            b = r == 0 ? 0xF1 : r == 1 ? 0x59 : static_cast<uint8_t>(byte(rng));
        }
        EncodeFrame(block.data(), block.size(), line);
        blocks.push_back(std::move(block));
    }
    Decoder d;
    std::vector<DecodeEvent> ev;
    for (size_t at = 0; at < line.size();) {
        const size_t n = std::min(line.size() - at, static_cast<size_t>(chunk(rng)));
        d.Feed(line.data() + at, n, ev);
        at += n;
    }
    EXPECT_EQ(Frames(ev), blocks);
    EXPECT_EQ(CountOf(ev, DecodeEvent::kCrcError) + CountOf(ev, DecodeEvent::kBadCopy), 0u);
}

}  // namespace
}  // namespace p8sim
