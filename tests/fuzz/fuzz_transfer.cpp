// Whole operations through NuvMain against arbitrary replies and timing.
//
// A connection is started with ColdStart on the in-memory line; then up to
// twelve operations run, each with its own gate fields, value area and the
// replies the PLC gives to the requests it sees.
//
// Input:
//   byte   read limit: 1 + b % 30 ticks, or none for 0xFF
//   byte   start flags: low nibble 0xF starts without a port
//   then per operation an op byte o:
//     o & 7          0/4 SingleRead, 1/5 BlockRead, 2 SingleWrite,
//                    3/6 BlockWrite, 7 a lifecycle call chosen by (o >> 3) & 7:
//                    WarmStart, CloseCom, ReOpenCom, EndNuv, or ChangeNuvParams
//                    to COM1, to COM2 at 19200 baud, to the null device, or
//                    to a 12-character name with no terminator
//     o bit 3        no value area (null pointer)
//     o bits 4-5     bytes waiting before the call: none, a good data block
//                    for this gate, a done block, or noise
//   and for a transfer:
//     byte   memory type: '2' '4' '8' '9' by b & 3, or from a table of
//            others when b >= 0xF0
//     byte   station (sign-extended); 3 bytes item address (sign-extended)
//     byte   bit number: -1..7 from b % 9 when b < 0xC0, else one of the
//            numbers no shift can take (8 up, -2 down, the 32-bit extremes)
//     2 bytes item count (sign-extended)
//     byte   seed of the value area's contents
//     byte   number of replies (b % 8), then per reply a kind byte k:
//       k & 3         0 a framed block of n bytes, 1 n raw line bytes,
//                     2 silence, 3 the answer of a healthy PLC cut short by
//                     k >> 4 bytes
//       (k >> 2) & 3  delay: none, half the read limit, one and a half
//                     read limits (late), four read limits
//       k bit 4       for kinds 0 and 1: n = next byte + 256, else next byte
//     Requests beyond the replies given meet silence.
//
// Checks after each call: the result is 0, 1 or 2; nothing outside the
// value area, the instance and the gate's bit number changes, and the bit
// number is back when the call returns; refusals (block too big, negative
// write count, bad bit number, no port, no value area) come before any
// traffic; a read that gives 0 stores exactly what one data block that
// arrived during the call carried, that block long enough for every item;
// a write that gives 0 sent the value area's bytes and met a done block;
// after EndNuv every call gives 0 and touches nothing.
#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <new>
#include <span>

#include "driver/operations.h"
#include "link/transaction.h"
#include "tests/fuzz/fuzzline.h"
#include "tests/fuzz/harness.h"

namespace {

using fuzz::Guarded;
using fuzz::Reader;
using Block = std::span<const uint8_t>;

constexpr size_t kArea = 512;  // the largest legal block: 256 16-bit slots
constexpr int kMaxOps = 12;

enum class Op {
    SingleRead,
    BlockRead,
    SingleWrite,
    BlockWrite,
    WarmStart,
    CloseCom,
    ReOpenCom,
    EndNuv,
    ChangeToCom1,
    ChangeToCom2,
    ChangeToNull,
    ChangeToLongName,
};

enum ReplyKind { kFramed, kRaw, kSilence, kHealthy };

constexpr size_t kMaxReplies = 7;
constexpr size_t kMaxReplyBytes = 511;
constexpr size_t kMaxFrame = 2 * kMaxReplyBytes + 8;

struct Reply {
    int kind = kSilence;
    uint64_t delay = 0;
    int cut = 0;
    Block bytes;  // within the input
};

// What a healthy PLC holds: a fixed pattern, put back after each run in the
// pages that run wrote to, so no run pays for copying all of it.
class Plc {
public:
    static constexpr size_t kSize = 32768;
    static constexpr size_t kPage = 256;

    Plc() {
        for (size_t i = 0; i < kSize; ++i) pattern_[i] = static_cast<uint8_t>(i * 151 + (i >> 8));
        memory_ = pattern_;
        dirty_.fill(true);
    }

    void Restore() {
        for (size_t page = 0; page < dirty_.size(); ++page) {
            if (!dirty_[page]) continue;
            std::memcpy(&memory_[page * kPage], &pattern_[page * kPage], kPage);
            dirty_[page] = false;
        }
    }

    // The reply block to `request` (nibble address n lies in byte n / 2): a
    // data block (3, 0, bytes) to a read of 0xA2, capped at 256 bytes; a done
    // block (0) after storing the data of a write of 0xA1; an ERROR block
    // (1, 0, 0, 0x01) to anything else. `out` holds 258 bytes.
    size_t Answer(Block request, uint8_t* out) {
        static constexpr uint8_t kError[] = {1, 0, 0, 0x01};
        if (request.size() < 6 || (request[0] != 0xA2 && request[0] != 0xA1)) {
            std::memcpy(out, kError, sizeof kError);
            return sizeof kError;
        }
        const uint32_t start = static_cast<uint32_t>(request[2] << 8 | request[3]);
        const uint32_t end = static_cast<uint32_t>(request[4] << 8 | request[5]);
        const uint32_t nibbles = ((end - start) & 0xFFFFu) + 1u;
        const uint32_t bytes = std::min(nibbles / 2u, 256u);
        const uint32_t first = start / 2u;
        constexpr size_t kMask = kSize - 1;
        if (request[0] == 0xA2) {
            out[0] = 3;
            out[1] = 0;
            for (uint32_t i = 0; i < bytes; ++i) out[2 + i] = memory_[(first + i) & kMask];
            return 2 + bytes;
        }
        for (size_t i = 6; i < request.size(); ++i) {
            const size_t at = (first + i - 6) & kMask;
            memory_[at] = request[i];
            dirty_[at / kPage] = true;
        }
        out[0] = 0;
        return 1;
    }

private:
    std::array<uint8_t, kSize> pattern_;
    std::array<uint8_t, kSize> memory_;
    std::array<bool, kSize / kPage> dirty_;
};

Plc& ThePlc() {
    static Plc plc;
    return plc;
}

void Feed(const uint8_t* bytes, size_t size, uint64_t delay) {
    fuzzline::Queue(bytes, size, delay);
}

void FeedFrame(Block block, uint64_t delay) {
    uint8_t frame[kMaxFrame];
    Feed(frame, fuzzline::Frame(block.data(), block.size(), frame), delay);
}

struct Harness {
    uint64_t limitMs = 100;
    std::array<Reply, kMaxReplies> replies;
    size_t replyCount = 0;
    size_t nextReply = 0;
    bool ended = false;
    // Ports left open by a ReOpenCom that found one open already: the open
    // port is not closed first, and the null device is not exclusive.
    size_t stranded = 0;

    Guarded<sizeof(DriverInstance)> instanceArea;
    Guarded<sizeof(GateTransfer)> gateArea;
    Guarded<sizeof(NuvCall)> callArea;
    Guarded<kArea> value;
    DriverInstance* inst = nullptr;
    GateTransfer* gate = nullptr;
    NuvCall* call = nullptr;

    bool GuardsIntact() const {
        return instanceArea.Intact() && gateArea.Intact() && callArea.Intact() && value.Intact();
    }

    void Answer(const fuzzline::Request& request) {
        if (nextReply >= replyCount) return;
        const Reply& r = replies[nextReply++];
        switch (r.kind) {
            case kFramed:
                FeedFrame(r.bytes, r.delay);
                break;
            case kRaw:
                Feed(r.bytes.data(), r.bytes.size(), r.delay);
                break;
            case kHealthy: {
                uint8_t block[2 + 256];
                const size_t size = ThePlc().Answer(Block(request.block, request.size), block);
                const size_t cut = static_cast<size_t>(r.cut);
                FeedFrame(Block(block, size > cut ? size - cut : 0), r.delay);
                break;
            }
            default:
                break;
        }
    }

    static void Respond(void* context, const fuzzline::Request& request) {
        static_cast<Harness*>(context)->Answer(request);
    }
};

uint8_t CrcStep(uint8_t crc, uint8_t b) {
    return static_cast<uint8_t>(((crc >> 1) | (crc << 7)) ^ b);
}

// Calls `visit` with each frame that could be read from the bytes a call
// may see: those queued from `first` on (during the call), and older ones
// arriving after `t`, the time the call began and dropped what had arrived.
// Every start pair is tried, so this is a superset of what Receive can take.
// Stops early when `visit` returns true; tells whether it did.
template <typename Visit>
FUZZ_BYTE_LOOP bool AnyFrameSeen(size_t first, uint64_t t, Visit visit) {
    // Arrival times never decrease along the line, so those bytes are one
    // stretch at its end.
    size_t from = first;
    while (from > 0 && fuzzline::QueuedAt(from - 1) > t) --from;
    const uint8_t* s = fuzzline::QueuedBytes() + from;
    const size_t size = fuzzline::Queued() - from;
    for (size_t start = 0; start + 1 < size; ++start) {
        if (s[start] != 0xF1 || s[start + 1] != 0x59) continue;
        size_t p = start + 2;
        uint8_t crc = 0;
        bool ok = true;
        auto next = [&](bool feed) -> uint8_t {
            if (p >= size) {
                ok = false;
                return 0;
            }
            const uint8_t b = s[p++];
            if (feed) crc = CrcStep(crc, b);
            if (b == 0xF1 || b == 0x59) {
                if (p >= size || s[p] != b) {
                    ok = false;
                    return 0;
                }
                ++p;
                if (feed) crc = CrcStep(crc, b);
            }
            return b;
        };
        const uint8_t high = next(true);
        const uint8_t low = next(true);
        const size_t n = static_cast<size_t>(high << 8 | low);
        if (!ok || n > 262) continue;
        uint8_t block[262];
        for (size_t i = 0; i < n && ok; ++i) block[i] = next(true);
        const uint8_t sent = next(false);
        if (ok && sent == crc && visit(Block(block, n))) return true;
    }
    return false;
}

// The four types by b & 3; from 0xF0 on, types the driver does not know,
// among them values whose low byte is a known type's.
int32_t MemoryType(uint8_t b) {
    static constexpr uint32_t kOthers[16] = {
        0,   '0', '3',     'X',        0xFFFFFFFF, 0x132, 0x80000032, 0x134,
        'a', '5', 0x10038, 0x39393939, 0x7FFFFFFF, 2,     0xFFFFFF39, 0x100,
    };
    return b < 0xF0 ? "2489"[b & 3] : static_cast<int32_t>(kOthers[b & 0xF]);
}

int32_t BitNumber(uint8_t b) {
    if (b < 0xC0) return b % 9 - 1;
    const int32_t v = b - 0xC0;  // 0..63
    switch (v) {
        case 0:
            return INT32_MIN;
        case 1:
            return INT32_MAX;
        case 2:
            return 31;
        case 3:
            return 32;
        default:
            return v < 34 ? v + 4 : 33 - v;  // 8..37, then -1..-30
    }
}

bool Known(int32_t type) {
    return type == '2' || type == '4' || type == '8' || type == '9';
}

int32_t ItemWidth(int32_t type) {
    return type == '2' ? 1 : type == '4' ? 2 : Known(type) ? 4 : 0;
}

int32_t SlotSize(int32_t type) {
    return type == '2' || type == '4' ? 2 : 4;
}

int32_t ScaleOf(int32_t type) {
    return Known(type) ? (type == '2' ? 2 : type == '4' ? 4 : 8) : 1;
}

// Bytes 1 to 5 of every request the gate makes: station, start, end.
using Tail = std::array<uint8_t, 5>;

Tail HeaderTail(const GateTransfer& g, bool single) {
    const uint32_t scale = static_cast<uint32_t>(ScaleOf(g.memoryType));
    const uint32_t count = single ? 1u : static_cast<uint32_t>(g.count) & 0xFFFFu;
    const uint32_t start = ((static_cast<uint32_t>(g.itemAddress) & 0xFFFFu) * scale) & 0xFFFFu;
    const uint32_t end = (start + count * scale - 1u) & 0xFFFFu;
    return {static_cast<uint8_t>(g.station & 0xFF), static_cast<uint8_t>(start >> 8),
            static_cast<uint8_t>(start & 0xFF), static_cast<uint8_t>(end >> 8),
            static_cast<uint8_t>(end & 0xFF)};
}

// The value of slot i as the data block `b` carries it, big-endian on the
// line; the slot as the host keeps it, little-endian, in the area.
uint32_t FromBlock(Block b, int32_t type, size_t i) {
    const int32_t n = ItemWidth(type);
    uint32_t v = 0;
    for (int32_t k = 0; k < n; ++k) v = v << 8 | b[2 + i * n + k];
    return v;
}

uint32_t FromArea(const uint8_t* area, size_t offset, int32_t size) {
    uint32_t v = 0;
    for (int32_t k = size - 1; k >= 0; --k) v = v << 8 | area[offset + k];
    return v;
}

// A copy of the bytes of a host-owned record.
template <typename T>
struct Raw {
    explicit Raw(const T* p) { std::memcpy(bytes.data(), p, sizeof(T)); }
    bool Same(const T* p) const { return std::memcmp(bytes.data(), p, sizeof(T)) == 0; }
    std::array<uint8_t, sizeof(T)> bytes;
};

struct Before {
    explicit Before(const Harness& h) : gate(h.gate), call(h.call), instance(h.inst) {}
    std::array<uint8_t, kArea> area;
    Raw<GateTransfer> gate;
    Raw<NuvCall> call;
    Raw<DriverInstance> instance;
    uint32_t port;
    size_t writes, reads, flushes, requests;
    uint64_t at;
    size_t queued;  // bytes queued before the call
};

// The value area is as it was, but perhaps for bytes `from` to `to`.
bool UnchangedOutside(const uint8_t* now, const std::array<uint8_t, kArea>& was, size_t from,
                      size_t to) {
    from = std::min(from, kArea);
    to = std::clamp(to, from, kArea);
    return std::memcmp(now, was.data(), from) == 0 &&
           std::memcmp(now + to, was.data() + to, kArea - to) == 0;
}

bool Unchanged(const uint8_t* now, const std::array<uint8_t, kArea>& was) {
    return UnchangedOutside(now, was, 0, 0);
}

void CheckRead(Harness& h, Op op, const Before& b, int32_t result) {
    const GateTransfer& g = *h.gate;
    const bool single = op == Op::SingleRead;
    const int32_t type = g.memoryType;
    const uint8_t* area = h.value.body.data();
    if (!Known(type)) FUZZ_CHECK(result != 0);
    if (result != 0 || g.value == nullptr) {
        FUZZ_CHECK(Unchanged(area, b.area));
        return;
    }
    const size_t items = single ? 1 : static_cast<size_t>(std::max(g.count, 0));
    const size_t needed = 2 + items * ItemWidth(type);
    const int32_t slot = SlotSize(type);
    const size_t first = single && slot == 2 ? 2 : 0;  // single 16-bit values sit at offset 2
    const size_t end = first + items * slot;
    FUZZ_CHECK(UnchangedOutside(area, b.area, first, end));

    // Some data block that arrived during the call carried every value.
    FUZZ_CHECK(AnyFrameSeen(b.queued, b.at, [&](Block f) {
        if (f.size() < needed || f[0] != 3) return false;
        for (size_t i = 0; i < items; ++i) {
            uint32_t want = FromBlock(f, type, i);
            if (single && type == '2' && g.bitNumber >= 0) want = (want >> g.bitNumber) & 1u;
            if (FromArea(area, first + i * slot, slot) != want) return false;
        }
        return true;
    }));
}

void CheckWrite(Harness& h, Op op, const Before& b, int32_t result) {
    const GateTransfer& g = *h.gate;
    const bool single = op == Op::SingleWrite;
    const int32_t type = g.memoryType;
    const uint8_t* area = h.value.body.data();
    const bool bitWrite = single && type == '2' && g.bitNumber >= 0 && g.bitNumber <= 7;
    if (bitWrite) {
        // The slot ends holding the byte to write, whatever the PLC said.
        FUZZ_CHECK(UnchangedOutside(area, b.area, 2, 4));
        FUZZ_CHECK(area[2] == b.area[2] && area[3] == 0);
    } else {
        FUZZ_CHECK(Unchanged(area, b.area));
    }

    const size_t requests = fuzzline::RequestCount();
    // A bit write reads the byte first and never mixes the two.
    bool writing = false;
    for (size_t i = b.requests; i < requests; ++i) {
        const fuzzline::Request r = fuzzline::RequestAt(i);
        const uint8_t code = r.size > 0 ? r.block[0] : 0;
        if (code == kWriteRequest) writing = true;
        FUZZ_CHECK(!writing || code == kWriteRequest);
        FUZZ_CHECK(bitWrite || code == kWriteRequest);
    }
    if (result != 0) return;

    FUZZ_CHECK(AnyFrameSeen(b.queued, b.at, [](Block f) { return !f.empty() && f[0] == 0; }));
    FUZZ_CHECK(requests > b.requests);
    if (requests <= b.requests) return;
    const fuzzline::Request last = fuzzline::RequestAt(requests - 1);
    FUZZ_CHECK(last.size > 0 && last.block[0] == kWriteRequest);
    const Block data(last.block + std::min<size_t>(6, last.size),
                     last.size - std::min<size_t>(6, last.size));

    if (bitWrite) {
        FUZZ_CHECK(data.size() == 1);
        if (data.size() != 1) return;
        const uint8_t mask = static_cast<uint8_t>(1u << g.bitNumber);
        FUZZ_CHECK(AnyFrameSeen(b.queued, b.at, [&](Block f) {
            if (f.size() < 3 || f[0] != 3) return false;
            const uint8_t want = b.area[2] != 0 ? static_cast<uint8_t>(f[2] | mask)
                                                : static_cast<uint8_t>(f[2] & ~mask);
            return data[0] == want;
        }));
        return;
    }
    const size_t items = single ? 1 : static_cast<size_t>(std::max(g.count, 0));
    std::array<uint8_t, 4 * 256> expected;
    size_t size = 0;
    if (Known(type) && items * ItemWidth(type) <= expected.size()) {
        const int32_t slot = SlotSize(type);
        const size_t first = single && slot == 2 ? 2 : 0;
        for (size_t i = 0; i < items; ++i) {
            uint32_t v = FromArea(b.area.data(), first + i * slot, slot);
            if (type == '2') v &= 0xFF;
            for (int32_t k = ItemWidth(type) - 1; k >= 0; --k) {
                expected[size++] = static_cast<uint8_t>(v >> (8 * k));
            }
        }
    }
    FUZZ_CHECK(data.size() == size && std::equal(data.begin(), data.end(), expected.begin()));
}

// The value area's contents before a call, from one seed byte.
FUZZ_BYTE_LOOP void Fill(uint8_t* area, uint8_t seed) {
    for (size_t i = 0; i < kArea; ++i) area[i] = static_cast<uint8_t>(seed * (i + 1));
}

void RunTransfer(Harness& h, Op op, uint8_t o, Reader& in) {
    GateTransfer& g = *h.gate;
    const bool single = op == Op::SingleRead || op == Op::SingleWrite;
    const bool read = op == Op::SingleRead || op == Op::BlockRead;

    std::memset(g.hostOwnA, o, sizeof g.hostOwnA);
    g.memoryType = MemoryType(in.Byte());
    g.station = in.Signed8();
    const uint16_t low = in.U16();
    g.itemAddress =
        static_cast<int32_t>(static_cast<uint32_t>(low) |
                             static_cast<uint32_t>(static_cast<int32_t>(in.Signed8())) << 16);
    g.bitNumber = BitNumber(in.Byte());
    g.valueWidth = o;
    g.count = static_cast<int16_t>(in.U16());
    const uint8_t seed = in.Byte();
    Fill(h.value.body.data(), seed);
    g.value = (o & 8) ? nullptr : h.value.body.data();

    h.replyCount = 0;
    h.nextReply = 0;
    const size_t replies = in.Byte() % (kMaxReplies + 1);
    for (size_t i = 0; i < replies; ++i) {
        const uint8_t k = in.Byte();
        Reply r;
        r.kind = k & 3;
        static constexpr uint64_t kDelay[4] = {0, 1, 3, 8};  // in half read limits
        r.delay = kDelay[(k >> 2) & 3] * h.limitMs / 2;
        r.cut = k >> 4;
        if (r.kind == kFramed || r.kind == kRaw) {
            size_t n = in.Byte() + ((k & 0x10) ? 256u : 0u);
            size_t got = 0;
            const uint8_t* bytes = in.Take(n, &got);
            r.bytes = Block(bytes, got);
        }
        h.replies[h.replyCount++] = r;
    }

    Before b(h);
    b.area = h.value.body;
    b.port = h.inst->portHandle;
    b.writes = fuzzline::WriteCalls();
    b.reads = fuzzline::ReadCalls();
    b.flushes = fuzzline::FlushCalls();
    b.requests = fuzzline::RequestCount();
    b.at = fuzzline::Now();

    // Bytes already waiting answer nothing this call asks.
    switch ((o >> 4) & 3) {
        case 1: {
            const Tail tail = HeaderTail(g, single);
            const uint8_t request[6] = {kReadRequest, tail[0], tail[1], tail[2], tail[3], tail[4]};
            uint8_t block[2 + 256];
            FeedFrame(Block(block, ThePlc().Answer(request, block)), 0);
            break;
        }
        case 2: {
            static constexpr uint8_t kDone[] = {0};
            FeedFrame(kDone, 0);
            break;
        }
        case 3: {
            static constexpr uint8_t kNoise[] = {0xF1, 0x59, 0x00, 0x03, 0x03,
                                                 0x00, 0x42, 0x47, 0x13, 0x37};
            Feed(kNoise, sizeof kNoise, 0);
            break;
        }
        default:
            break;
    }

    b.queued = fuzzline::Queued();
    static constexpr NuvFunction kCodes[] = {FN_SINGLE_READ, FN_BLOCK_READ, FN_SINGLE_WRITE,
                                             FN_BLOCK_WRITE};
    h.call->function = kCodes[static_cast<int>(op)];
    h.call->args = &g;
    b.call = Raw<NuvCall>(h.call);
    const int32_t result = NuvMain(h.call);

    FUZZ_CHECK(result == 0 || result == 1 || result == 2);
    FUZZ_CHECK(h.GuardsIntact());
    FUZZ_CHECK(b.gate.Same(&g));
    FUZZ_CHECK(b.call.Same(h.call));
    const bool traffic = fuzzline::WriteCalls() != b.writes || fuzzline::ReadCalls() != b.reads ||
                         fuzzline::FlushCalls() != b.flushes;
    if (h.ended) {
        FUZZ_CHECK(result == 0 && !traffic);
        FUZZ_CHECK(Unchanged(h.value.body.data(), b.area));
        FUZZ_CHECK(b.instance.Same(h.inst));
        return;
    }

    const int32_t type = g.memoryType;
    const int32_t count = single ? 1 : g.count;
    const bool tooBig = !single && Known(type) && count > 256 / ItemWidth(type);
    const bool badBit =
        single && type == '2' && g.bitNumber != -1 && (g.bitNumber < 0 || g.bitNumber > 7);
    const bool noArea = g.value == nullptr && Known(type) && count > 0;
    const bool refused =
        tooBig || (op == Op::BlockWrite && count < 0) || badBit || b.port == 0 || noArea;
    if (refused) {
        FUZZ_CHECK(result == 1 && !traffic);
        FUZZ_CHECK(Unchanged(h.value.body.data(), b.area));
        return;
    }

    // One transaction (two for a bit write), three attempts each at most,
    // every request the same bytes but for its code.
    const bool bitWrite = op == Op::SingleWrite && type == '2' && g.bitNumber >= 0;
    const size_t requests = fuzzline::RequestCount();
    FUZZ_CHECK(fuzzline::FlushCalls() > b.flushes);
    FUZZ_CHECK(requests - b.requests <= (bitWrite ? 6u : 3u));
    const Tail tail = HeaderTail(g, single);
    for (size_t i = b.requests; i < requests; ++i) {
        const fuzzline::Request r = fuzzline::RequestAt(i);
        FUZZ_CHECK(r.crcOk && r.size >= 6 && r.size <= 262);
        if (r.size < 6) continue;
        FUZZ_CHECK(r.block[0] == kReadRequest || r.block[0] == kWriteRequest);
        FUZZ_CHECK(r.block[0] != kReadRequest || r.size == 6);
        FUZZ_CHECK(std::equal(tail.begin(), tail.end(), r.block + 1));
    }
    if (read) {
        CheckRead(h, op, b, result);
    } else {
        CheckWrite(h, op, b, result);
    }
}

void RunLifecycle(Harness& h, Op op) {
    static constexpr NuvFunction kCodes[] = {FN_WARM_START, FN_CLOSE_COM, FN_REOPEN_COM,
                                             FN_END_NUV};
    NuvParams params{};
    params.timeoutTicks = -1;  // keeps the read limit the harness measures with
    const char* name = nullptr;
    switch (op) {
        case Op::ChangeToCom1:
            name = "COM1";
            break;
        case Op::ChangeToCom2:
            name = "COM2";
            params.line = LineParams{19200, 8, 0, 0};
            break;
        case Op::ChangeToNull:
            name = "NUL";
            break;
        case Op::ChangeToLongName:
            std::memcpy(params.portName, "COM123456789", sizeof params.portName);
            break;
        default:
            break;
    }
    if (name != nullptr) std::memcpy(params.portName, name, std::strlen(name) + 1);
    const bool change = op >= Op::ChangeToCom1;

    const size_t traffic =
        fuzzline::WriteCalls() + fuzzline::ReadCalls() + fuzzline::FlushCalls();
    const Raw<DriverInstance> instance(h.inst);
    const uint32_t port = h.inst->portHandle;
    h.call->function = change ? FN_CHANGE_NUV_PARAMS
                              : kCodes[static_cast<int>(op) - static_cast<int>(Op::WarmStart)];
    h.call->args = change ? &params : nullptr;
    const int32_t result = NuvMain(h.call);
    FUZZ_CHECK(h.GuardsIntact());
    if (h.ended) {
        FUZZ_CHECK(result == 0);
        FUZZ_CHECK(traffic ==
                   fuzzline::WriteCalls() + fuzzline::ReadCalls() + fuzzline::FlushCalls());
        FUZZ_CHECK(instance.Same(h.inst));
        return;
    }
    switch (op) {
        case Op::CloseCom:
            FUZZ_CHECK(result == 0 && h.inst->portHandle == 0);
            break;
        case Op::ReOpenCom:
            FUZZ_CHECK(result == 0 || result == 2);
            FUZZ_CHECK(result != 0 || h.inst->portHandle != 0);
            if (result == 0 && port != 0) ++h.stranded;
            break;
        case Op::EndNuv:
            FUZZ_CHECK(result == 0 && h.inst->portHandle == 0);
            h.ended = true;
            break;
        case Op::ChangeToLongName:
            // A name that does not fit its field opens nothing; the old port
            // is closed all the same.
            FUZZ_CHECK(result == 2 && h.inst->portHandle == 0);
            break;
        case Op::ChangeToCom1:
        case Op::ChangeToCom2:
        case Op::ChangeToNull:
            FUZZ_CHECK(result == 0 && h.inst->portHandle != 0);
            FUZZ_CHECK(std::strcmp(fuzzline::PortName(h.inst->portHandle), name) == 0);
            break;
        default:
            FUZZ_CHECK(result == 0);
            break;
    }
}

}  // namespace

int fuzz::TransferOne(const uint8_t* data, size_t size) {
    fuzzline::Reset();
    ThePlc().Restore();
    ResetLog();
    ClearEndedFlagForTesting();
    Reader in(data, size);

    Harness h;
    h.instanceArea.Arm();
    h.gateArea.Arm();
    h.callArea.Arm();
    h.value.Arm();
    h.instanceArea.body.fill(0xCD);  // a host's storage holds anything at first
    h.inst = new (h.instanceArea.body.data()) DriverInstance;
    h.gate = new (h.gateArea.body.data()) GateTransfer{};
    h.call = new (h.callArea.body.data()) NuvCall{};
    h.call->instance = h.inst;
    fuzzline::SetResponder(&Harness::Respond, &h);

    const uint8_t limit = in.Byte();
    const int32_t ticks = limit == 0xFF ? 0 : 1 + limit % 30;
    h.limitMs = ticks == 0 ? 100 : static_cast<uint64_t>(ticks) * 10;
    StartParams start{};
    std::memcpy(start.portName, "COM1", 5);
    start.openFlag = (in.Byte() & 0x0F) == 0x0F ? 0 : 1;
    start.timeoutTicks = ticks;
    start.line = LineParams{9600, 8, 0, 2};
    h.call->function = FN_COLD_START;
    h.call->args = &start;
    FUZZ_CHECK(NuvMain(h.call) == 0);
    FUZZ_CHECK(h.GuardsIntact());

    for (int n = 0; n < kMaxOps && !in.Empty(); ++n) {
        const uint8_t o = in.Byte();
        static constexpr Op kOps[8] = {Op::SingleRead, Op::BlockRead,  Op::SingleWrite,
                                       Op::BlockWrite, Op::SingleRead, Op::BlockRead,
                                       Op::BlockWrite, Op::WarmStart};
        Op op = kOps[o & 7];
        if (op == Op::WarmStart) {
            op = static_cast<Op>(static_cast<int>(Op::WarmStart) + ((o >> 3) & 7));
            RunLifecycle(h, op);
        } else {
            RunTransfer(h, op, o, in);
        }
        FUZZ_CHECK(h.ended || h.inst->portHandle == 0 || fuzzline::IsOpen(h.inst->portHandle));
        FUZZ_CHECK(fuzzline::OpenCount() <= 1 + h.stranded);
    }
    fuzzline::SetResponder(nullptr, nullptr);
    return 0;
}
