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
//     3  one byte (the next) repeated n + 1 times, or for n = 42 2048
//        times, as many as the hunt drops before it gives up: a flood of
//        noise
// Long floods are rare in random input on purpose (42 is no value the
// mutations favour, unlike 63 from 0xFF): every byte on the line costs a
// read, and if a few input bytes often made thousands of line bytes, most
// runs would be as slow as the longest. Shorter floods in a row reach any
// length between.
// The stream is cut after the segment that takes it past 2.5 KiB. Receive is
// called until every byte has been read. Each call must give 0
// or 2; a 0 must mean that the bytes it consumed end in exactly the frame
// an independent encoder makes of the block it returned, with N <= 262; the
// buffer beyond the announced length and the guards around it stay as they
// were; and no call reads more than the bounded hunt and one frame allow.
#include <algorithm>
#include <array>
#include <cstring>

#include "link/frame.h"
#include "tests/fuzz/fuzzline.h"
#include "tests/fuzz/harness.h"

namespace {

constexpr int32_t kBuffer = 262;
constexpr int32_t kUnset = -0x7FFF0000;
// The hunt reads at most 2049 bytes, a frame at most 4 length bytes, 524
// data bytes and 2 CRC bytes, each doubled byte counted twice.
constexpr size_t kMostPerReceive = 2049 + 4 + 2 * kBuffer + 2;
constexpr int kMaxCalls = 20000;
// Enough for one flood the hunt gives up on and a few frames; more only
// slows the fuzzer down, and a second hunt that gives up starts from the
// same state as the first.
constexpr size_t kMaxStream = 2048 + 512;
constexpr size_t kMaxFrame = 2 * kBuffer + 8;

struct Script {
    uint32_t limitTicks = 10;
    bool roundTrip = false;
    bool failWrite = false;
    uint32_t failAt = 0;
};

// Queues the segments on the line at their arrival times; the line keeps
// the stream they make.
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
    while (!in.Empty() && fuzzline::Queued() < kMaxStream) {
        const uint8_t h = in.Byte();
        const int kind = h >> 6;
        const size_t n = h & 0x3F;
        if (kind == 3) {
            const size_t count = n == 42 ? 2048 : n + 1;
            fuzzline::QueueRun(in.Byte(), count, at);
            continue;
        }
        size_t got = 0;
        const uint8_t* bytes = in.Take(n, &got);
        if (kind == 1) {
            for (size_t i = 0; i < got; ++i) {
                at += limitMs / 2;
                fuzzline::Queue(bytes + i, 1, at);
            }
            continue;
        }
        if (kind == 2 && got > 0) at += 2 * limitMs + 1;
        fuzzline::Queue(bytes, got, at);
    }
    return s;
}

// The stream's bytes before `end` finish with `tail`.
FUZZ_BYTE_LOOP bool EndsWith(size_t end, const uint8_t* tail, size_t size) {
    if (size > end) return false;
    for (size_t i = 0; i < size; ++i) {
        if (fuzzline::QueuedByte(end - size + i) != tail[i]) return false;
    }
    return true;
}

// Sends the block back out and checks the line carries exactly its frame,
// or the frame's bytes up to the write made to fail.
void RoundTrip(const uint8_t* block, int32_t length, PortHandle port, Script& s) {
    uint8_t frame[kMaxFrame];
    const size_t size = fuzzline::Frame(block, static_cast<size_t>(length), frame);
    const size_t before = fuzzline::WrittenCount();
    size_t failing = 0;  // 1-based write call that fails, 0 for none
    if (s.failWrite) {
        failing = 1 + s.failAt % size;
        fuzzline::FailWrite(failing);
        s.failWrite = false;
    }
    const int32_t result = Send(block, length, port);
    const size_t out = fuzzline::WrittenCount() - before;
    const uint8_t* written = fuzzline::Written() + before;
    if (failing == 0) {
        FUZZ_CHECK(result == 0);
        FUZZ_CHECK(out == size && std::memcmp(written, frame, size) == 0);
    } else {
        FUZZ_CHECK(result == 2);
        FUZZ_CHECK(out == failing - 1);
        FUZZ_CHECK(out < size && std::memcmp(written, frame, out) == 0);
    }
}

}  // namespace

int fuzz::FrameOne(const uint8_t* data, size_t size) {
    fuzzline::Reset();
    ResetLog();
    Reader in(data, size);
    Script s = Load(in);

    const LineParams line{9600, 8, 0, 2};
    PortHandle port = 0;
    FUZZ_CHECK(PortOpen("COM1", &line, 0x0303, &port) == PORT_OK);
    PortSetReadTimeout(port, static_cast<int32_t>(s.limitTicks));

    Guarded<kBuffer> buffer;
    buffer.Arm();
    static constexpr auto kFill = fuzz::KeyedBytes<kBuffer>(0x5A);
    buffer.body = kFill;
    // The buffer as the last call left it; only what a call may write is
    // copied again, not the whole buffer before every call.
    auto previous = buffer.body;

    for (int call = 0; call < kMaxCalls && fuzzline::Pending() > 0; ++call) {
        const size_t taken = fuzzline::Taken();
        int32_t length = kUnset;
        const int32_t result = Receive(buffer.body.data(), &length, port);
        const size_t used = fuzzline::Taken() - taken;

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
        const bool kept = std::equal(buffer.body.begin() + untouchedFrom, buffer.body.end(),
                                     previous.begin() + untouchedFrom);
        FUZZ_CHECK(kept);
        const size_t changed = kept ? static_cast<size_t>(untouchedFrom) : previous.size();
        std::memcpy(previous.data(), buffer.body.data(), changed);

        if (result == 0) {
            FUZZ_CHECK(length >= 0 && length <= kBuffer);
            if (length < 0 || length > kBuffer) continue;
            uint8_t expected[kMaxFrame];
            const size_t frameSize =
                fuzzline::Frame(buffer.body.data(), static_cast<size_t>(length), expected);
            FUZZ_CHECK(EndsWith(fuzzline::Taken(), expected, frameSize));
            if (s.roundTrip) RoundTrip(buffer.body.data(), length, port, s);
        }
    }
    FUZZ_CHECK(fuzzline::Pending() == 0);
    return 0;
}
