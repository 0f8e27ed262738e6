// The frame receiver over arbitrary line traffic, and Send of what it took.
//
// Input: one flags byte, then segments of line bytes.
//   flags bits 0-1  read limit per byte: 100 ms, 10 ms, 1 s, or none
//   flags bit 2     send every block received back out and check the frame
//   flags bit 3     make one write of the first such Send fail, at the write
//                   numbered 1 + (flags >> 4) modulo the frame's length
//   segment header h, kind h >> 6, n = h & 0x3F:
//     0  n bytes, right after the previous ones
//     1  n bytes, each after a pause shorter than the read limit
//     2  n bytes after a silence longer than the read limit
//     3  one byte (the next) repeated (n + 1) x 64 times: a flood of noise
// The stream is cut after the segment that takes it past 8 KiB. Receive is
// called until every byte has been read. Each call must give 0
// or 2; a 0 must mean that the bytes it consumed end in exactly the frame
// an independent encoder makes of the block it returned, with N <= 262; the
// buffer beyond the announced length and the guards around it stay as they
// were; and no call reads more than the bounded hunt and one frame allow.
#include <algorithm>
#include <vector>

#include "link/frame.h"
#include "tests/fuzz/harness.h"
#include "tests/support/memline.h"

namespace {

using memline::Bytes;

constexpr int32_t kBuffer = 262;
constexpr int32_t kUnset = -0x7FFF0000;
// The hunt reads at most 2049 bytes, a frame at most 4 length bytes, 524
// data bytes and 2 CRC bytes, each doubled byte counted twice.
constexpr size_t kMostPerReceive = 2049 + 4 + 2 * kBuffer + 2;
constexpr int kMaxCalls = 20000;
// Enough for two floods past the hunt limit and a few frames; more only
// slows the fuzzer down.
constexpr size_t kMaxStream = 8192;

struct Script {
    uint32_t limitTicks = 10;
    bool roundTrip = false;
    bool failWrite = false;
    uint32_t failAt = 0;
    Bytes stream;  // every byte, in arrival order
};

// Queues the segments on the line at their arrival times and records the
// stream they make.
Script Load(fuzz::Reader& in) {
    Script s;
    const uint8_t flags = in.Byte();
    static constexpr uint32_t kLimits[] = {10, 1, 100, 0};
    s.limitTicks = kLimits[flags & 3];
    s.roundTrip = (flags & 4) != 0;
    s.failWrite = (flags & 8) != 0;
    s.failAt = flags >> 4;

    // Gaps are measured against the read limit; "no limit" gets 100 ms.
    const uint64_t limitMs = s.limitTicks == 0 ? 100 : s.limitTicks * 10u;
    uint64_t at = 0;
    while (!in.Empty() && s.stream.size() < kMaxStream) {
        const uint8_t h = in.Byte();
        const int kind = h >> 6;
        const size_t n = h & 0x3F;
        if (kind == 3) {
            const uint8_t noise = in.Byte();
            const Bytes run((n + 1) * 64, noise);
            memline::Queue(run, at);
            s.stream.insert(s.stream.end(), run.begin(), run.end());
            continue;
        }
        size_t got = 0;
        const uint8_t* bytes = in.Take(n, &got);
        for (size_t i = 0; i < got; ++i) {
            if (kind == 1) at += limitMs / 2;
            if (kind == 2 && i == 0) at += 2 * limitMs + 1;
            memline::Queue({bytes[i]}, at);
            s.stream.push_back(bytes[i]);
        }
    }
    return s;
}

bool EndsWith(const Bytes& stream, size_t end, const Bytes& tail) {
    if (tail.size() > end) return false;
    return std::equal(tail.begin(), tail.end(), stream.begin() + (end - tail.size()));
}

// Sends the block back out and checks the line carries exactly its frame,
// or the frame's bytes up to the write made to fail.
void RoundTrip(const uint8_t* block, int32_t length, PortHandle port, Script& s) {
    const Bytes frame = memline::Frame(Bytes(block, block + length));
    const size_t before = memline::Written().size();
    size_t failing = 0;  // 1-based write call that fails, 0 for none
    if (s.failWrite) {
        failing = 1 + s.failAt % frame.size();
        memline::FailWrite(failing);
        s.failWrite = false;
    }
    const int32_t result = Send(block, length, port);
    const Bytes& written = memline::Written();
    const Bytes out(written.begin() + static_cast<std::ptrdiff_t>(before), written.end());
    if (failing == 0) {
        FUZZ_CHECK(result == 0);
        FUZZ_CHECK(out == frame);
    } else {
        FUZZ_CHECK(result == 2);
        FUZZ_CHECK(out.size() == failing - 1);
        FUZZ_CHECK(std::equal(out.begin(), out.end(), frame.begin()));
    }
}

}  // namespace

int fuzz::FrameOne(const uint8_t* data, size_t size) {
    memline::Reset();
    ResetLog();
    Reader in(data, size);
    Script s = Load(in);

    const LineParams line{9600, 8, 0, 2};
    PortHandle port = 0;
    FUZZ_CHECK(PortOpen("COM1", &line, 0x0303, &port) == PORT_OK);
    PortSetReadTimeout(port, static_cast<int32_t>(s.limitTicks));

    Guarded<kBuffer> buffer;
    buffer.Arm();
    for (int32_t i = 0; i < kBuffer; ++i) buffer.body[i] = static_cast<uint8_t>(0x5A ^ i);

    size_t consumed = 0;
    for (int call = 0; call < kMaxCalls && memline::Pending() > 0; ++call) {
        const auto previous = buffer.body;
        const size_t pending = memline::Pending();
        int32_t length = kUnset;
        const int32_t result = Receive(buffer.body.data(), &length, port);
        const size_t used = pending - memline::Pending();

        FUZZ_CHECK(result == 0 || result == 2);
        FUZZ_CHECK(buffer.Intact());
        FUZZ_CHECK(used <= kMostPerReceive);
        // Nothing at or past the announced length is touched; before the
        // length is read, and when it is too long, nothing at all.
        int32_t untouchedFrom = 0;
        if (length != kUnset) {
            FUZZ_CHECK(length >= 0 && length <= 0xFFFF);
            if (length <= kBuffer) untouchedFrom = length;
            if (length > kBuffer) FUZZ_CHECK(result == 2);
        } else {
            FUZZ_CHECK(result == 2);
        }
        for (int32_t i = untouchedFrom; i < kBuffer; ++i) {
            FUZZ_CHECK(buffer.body[i] == previous[i]);
        }

        consumed += used;
        if (result == 0) {
            FUZZ_CHECK(length >= 0 && length <= kBuffer);
            const Bytes block(buffer.body.begin(), buffer.body.begin() + length);
            FUZZ_CHECK(EndsWith(s.stream, consumed, memline::Frame(block)));
            if (s.roundTrip) RoundTrip(buffer.body.data(), length, port, s);
        }
    }
    FUZZ_CHECK(memline::Pending() == 0);
    return 0;
}
