// The fuzz harnesses' serial line: the port operations over a virtual clock,
// in fixed storage.
#include "tests/fuzz/fuzzline.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// The paths every byte takes: UBSan's checks on the line's own indices and
// flags cost as much as the driver's work on the byte, and this is the
// harnesses' line, not code under test (its rules have their own tests).
#if defined(__clang__)
#define LINE_PER_BYTE __attribute__((no_sanitize("undefined")))
#else
#define LINE_PER_BYTE
#endif

namespace fuzzline {

namespace detail {
Counters g_counters;
uint8_t g_queuedBytes[kMaxQueued];
uint64_t g_queuedAt[kMaxQueued];
uint8_t g_written[kMaxWritten];
Request g_requests[kMaxRequests];
}  // namespace detail

namespace {

constexpr uint32_t kFreshLimitMs = 1000;  // a port's read limit right after opening
constexpr uint8_t kF1 = 0xF1;
constexpr uint8_t kY = 0x59;

struct Port {
    PortHandle handle = 0;  // 0: the slot is free
    bool nullDevice = false;
    uint32_t limitMs = kFreshLimitMs;
    char name[kMaxName] = {};
};

// Decodes the written bytes as frames, the way a PLC would: hunt for the
// start pair, undo the doubling, check the CRC byte.
struct Decoder {
    enum class State { Hunt, AfterF1, Field };
    enum class Field { LenHigh, LenLow, Data, Crc };

    State state = State::Hunt;
    Field field = Field::LenHigh;
    bool copyPending = false;
    uint8_t pending = 0;
    uint8_t crc = 0;
    size_t length = 0;
    size_t got = 0;  // block bytes so far, stored from blocks[blocksUsed]
};

// Everything a run changes lives here and in the counters; the arrays behind
// the counters are only read up to them, so Reset() clears only the port
// slots a run used.
struct Line {
    size_t blocksUsed = 0;
    size_t failingWrite = 0;  // PortWrite call number that fails, 0 for none
    Responder responder = nullptr;
    void* context = nullptr;
    Decoder decoder;
    size_t portsUsed = 0;  // slots at the front of g_ports opened this run
    Port* last = nullptr;  // within g_ports
    PortHandle nextHandle = 1;
};

using detail::g_queuedAt;
using detail::g_queuedBytes;
using detail::g_requests;
using detail::g_written;

Line g_line;
detail::Counters& g_c = detail::g_counters;
Port g_ports[kMaxPorts];
uint8_t g_blocks[kMaxWritten];

[[noreturn]] void Full(const char* what) {
    std::fprintf(stderr, "fuzz line: more %s in one run than it holds\n", what);
    std::abort();
}

LINE_PER_BYTE void Rotate(uint8_t* crc, uint8_t byte) {
    *crc = static_cast<uint8_t>(((*crc >> 1) | (*crc << 7)) ^ byte);
}

// Out of line: rare beside the bytes, and it calls out to the responder.
__attribute__((noinline)) void FrameComplete(bool crcOk) {
    Line& s = g_line;
    Decoder& d = s.decoder;
    if (g_c.requests == kMaxRequests) Full("frames written");
    Request& request = g_requests[g_c.requests++];
    request = {g_blocks + s.blocksUsed, d.got, crcOk, g_c.now};
    s.blocksUsed += d.got;
    d.state = Decoder::State::Hunt;
    if (s.responder != nullptr) s.responder(s.context, request);
}

LINE_PER_BYTE void TakeValue(uint8_t value) {
    Decoder& d = g_line.decoder;
    switch (d.field) {
        case Decoder::Field::LenHigh:
            d.length = static_cast<size_t>(value) << 8;
            d.field = Decoder::Field::LenLow;
            break;
        case Decoder::Field::LenLow:
            d.length |= value;
            d.field = d.length == 0 ? Decoder::Field::Crc : Decoder::Field::Data;
            break;
        case Decoder::Field::Data:
            if (g_line.blocksUsed + d.got == kMaxWritten) Full("frame bytes written");
            g_blocks[g_line.blocksUsed + d.got++] = value;
            if (d.got == d.length) d.field = Decoder::Field::Crc;
            break;
        case Decoder::Field::Crc:
            FrameComplete(value == d.crc);
            break;
    }
}

LINE_PER_BYTE void Decode(uint8_t byte) {
    Decoder& d = g_line.decoder;
    switch (d.state) {
        case Decoder::State::Hunt:
            if (byte == kF1) d.state = Decoder::State::AfterF1;
            return;
        case Decoder::State::AfterF1:
            if (byte != kY) {
                d.state = Decoder::State::Hunt;
                return;
            }
            d.state = Decoder::State::Field;
            d.field = Decoder::Field::LenHigh;
            d.copyPending = false;
            d.crc = 0;
            d.length = 0;
            d.got = 0;
            return;
        case Decoder::State::Field:
            break;
    }
    if (d.field != Decoder::Field::Crc) Rotate(&d.crc, byte);
    if (d.copyPending) {
        d.copyPending = false;
        if (byte != d.pending) {
            // Broken doubling: the frame was abandoned. A start pair here
            // begins the sender's next frame, as it would for a real PLC.
            d.state = Decoder::State::Hunt;
            if (d.pending == kF1 && byte == kY) {
                d.state = Decoder::State::AfterF1;
                Decode(byte);
            }
            return;
        }
        TakeValue(byte);
        return;
    }
    if (byte == kF1 || byte == kY) {
        d.copyPending = true;
        d.pending = byte;
        return;
    }
    TakeValue(byte);
}

// The driver reads byte by byte, so the port it used last is checked first.
LINE_PER_BYTE inline Port* Find(PortHandle handle) {
    Line& s = g_line;
    if (handle == 0) return nullptr;
    if (s.last != nullptr && s.last->handle == handle) return s.last;
    for (size_t i = 0; i < s.portsUsed; ++i) {
        Port& port = g_ports[i];
        if (port.handle == handle) {
            s.last = &port;
            return &port;
        }
    }
    return nullptr;
}

}  // namespace

void Reset() {
    // Only the slots a run opened need clearing; the rest are free already.
    Line& s = g_line;
    const size_t used = s.portsUsed;
    s = Line{};
    g_c = detail::Counters{};
    for (size_t i = 0; i < used; ++i) g_ports[i].handle = 0;
}

namespace {

// Makes room for `count` bytes at the end of the queue and gives their
// arrival time: bytes on a line never overtake one another.
LINE_PER_BYTE uint64_t Append(size_t count, uint64_t delayMs) {
    if (count > kMaxQueued - g_c.queued) Full("bytes queued");
    uint64_t at = g_c.now + delayMs;
    if (g_c.queued > 0 && g_queuedAt[g_c.queued - 1] > at) at = g_queuedAt[g_c.queued - 1];
    uint64_t* times = g_queuedAt + g_c.queued;
    for (size_t i = 0; i < count; ++i) times[i] = at;
    return at;
}

}  // namespace

void Queue(const uint8_t* bytes, size_t count, uint64_t delayMs) {
    if (count == 0) return;
    Append(count, delayMs);
    std::memcpy(g_queuedBytes + g_c.queued, bytes, count);
    g_c.queued += count;
}

void QueueRun(uint8_t byte, size_t count, uint64_t delayMs) {
    if (count == 0) return;
    Append(count, delayMs);
    std::memset(g_queuedBytes + g_c.queued, byte, count);
    g_c.queued += count;
}

void SetResponder(Responder responder, void* context) {
    g_line.responder = responder;
    g_line.context = context;
}

void FailWrite(size_t n) {
    g_line.failingWrite = g_c.writeCalls + n;
}

bool IsOpen(PortHandle handle) {
    return Find(handle) != nullptr;
}

size_t OpenCount() {
    size_t open = 0;
    for (size_t i = 0; i < g_line.portsUsed; ++i) open += g_ports[i].handle != 0 ? 1 : 0;
    return open;
}

const char* PortName(PortHandle handle) {
    const Port* port = Find(handle);
    return port != nullptr ? port->name : "";
}

size_t Frame(const uint8_t* block, size_t size, uint8_t* out) {
    size_t n = 0;
    out[n++] = kF1;
    out[n++] = kY;
    uint8_t crc = 0;
    auto put = [&](uint8_t byte, bool feed) {
        const int copies = (byte == kF1 || byte == kY) ? 2 : 1;
        for (int i = 0; i < copies; ++i) {
            out[n++] = byte;
            if (feed) Rotate(&crc, byte);
        }
    };
    put(static_cast<uint8_t>(size >> 8), true);
    put(static_cast<uint8_t>(size & 0xFF), true);
    for (size_t i = 0; i < size; ++i) put(block[i], true);
    put(crc, false);
    return n;
}

}  // namespace fuzzline

// ---- the port operations ----

int32_t PortOpen(const char* name, const LineParams*, uint16_t, PortHandle* handle) {
    using namespace fuzzline;
    Line& s = g_line;
    *handle = kInvalidPortHandle;
    const size_t length = std::strlen(name);
    if (length >= kMaxName || std::strncmp(name, "MISSING", 7) == 0) return PORT_OPEN_FAILED;
    const bool nullDevice = std::strcmp(name, "NUL") == 0;
    Port* slot = nullptr;
    for (size_t i = 0; i < s.portsUsed; ++i) {
        Port& port = g_ports[i];
        // Devices are exclusive: a second open of a held port fails.
        if (!nullDevice && port.handle != 0 && std::strcmp(port.name, name) == 0) {
            return PORT_OPEN_FAILED;
        }
        if (slot == nullptr && port.handle == 0) slot = &port;
    }
    if (slot == nullptr) {
        if (s.portsUsed == kMaxPorts) Full("ports open");
        slot = &g_ports[s.portsUsed++];
    }
    *slot = Port{};
    slot->handle = s.nextHandle++;
    slot->nullDevice = nullDevice;
    std::memcpy(slot->name, name, length + 1);
    *handle = slot->handle;
    return PORT_OK;
}

int32_t PortClose(PortHandle handle) {
    fuzzline::Port* port = fuzzline::Find(handle);
    if (port == nullptr) return PORT_IO_FAILED;
    port->handle = 0;
    return PORT_OK;
}

int32_t PortSetReadTimeout(PortHandle handle, int32_t ticks) {
    fuzzline::Port* port = fuzzline::Find(handle);
    if (port == nullptr) return 0;
    const uint32_t previous = port->limitMs;
    port->limitMs = static_cast<uint32_t>(ticks) * 10u;
    return static_cast<int32_t>(previous) / 10;
}

int32_t PortFlushInput(PortHandle handle) {
    using namespace fuzzline;
    ++g_c.flushCalls;
    if (Find(handle) == nullptr) return 1;
    while (g_c.taken < g_c.queued && g_queuedAt[g_c.taken] <= g_c.now) ++g_c.taken;
    return 0;
}

int32_t PortSendBreak(int32_t milliseconds, PortHandle) {
    if (milliseconds > 0) fuzzline::g_c.now += static_cast<uint64_t>(milliseconds);
    return 0;
}

LINE_PER_BYTE int32_t PortWrite(PortHandle handle, const uint8_t* bytes, uint32_t count, uint32_t* written) {
    using namespace fuzzline;
    const size_t call = ++g_c.writeCalls;
    if (call == g_line.failingWrite) {
        g_line.failingWrite = 0;
        return PORT_IO_FAILED;
    }
    const Port* port = Find(handle);
    if (port == nullptr) return PORT_IO_FAILED;
    if (written != nullptr) *written = count;
    if (port->nullDevice) return PORT_OK;
    if (count > kMaxWritten - g_c.written) Full("bytes written");
    for (uint32_t i = 0; i < count; ++i) {
        g_written[g_c.written++] = bytes[i];
        Decode(bytes[i]);
    }
    return PORT_OK;
}

namespace fuzzline {
namespace {

// Every read but the usual one: several bytes, a byte not there in time, a
// port that is not the last one used or cannot be read.
__attribute__((noinline)) int32_t ReadSlowly(PortHandle handle, uint8_t* buffer, uint32_t count,
                                             uint32_t* received) {
    detail::Counters& c = g_c;
    const Port* port = Find(handle);
    const bool usable = port != nullptr && !port->nullDevice && count > 0;
    const bool endless = usable && port->limitMs == 0;
    if (received != nullptr) *received = 0;
    if (!usable) return PORT_IO_FAILED;

    uint32_t got = 0;
    while (got < count) {
        // One pass: everything that arrives before the read limit runs out.
        const uint64_t deadline = c.now + port->limitMs;
        uint32_t pass = 0;
        while (got < count && c.taken < c.queued && (endless || g_queuedAt[c.taken] <= deadline)) {
            if (g_queuedAt[c.taken] > c.now) c.now = g_queuedAt[c.taken];
            buffer[got++] = g_queuedBytes[c.taken++];
            ++pass;
        }
        if (received != nullptr) *received = got;
        if (got == count) break;
        // A read with no limit on a silent line would never return; here it
        // fails at once, as the tests' line does.
        if (endless) return PORT_IO_FAILED;
        c.now = deadline;
        if (pass == 0) return PORT_IO_FAILED;
    }
    return PORT_OK;
}

}  // namespace
}  // namespace fuzzline

LINE_PER_BYTE int32_t PortRead(PortHandle handle, uint8_t* buffer, uint32_t count, uint32_t* received) {
    using namespace fuzzline;
    detail::Counters& c = g_c;
    ++c.readCalls;
    // The driver's usual read, taken on every byte: one byte that has
    // arrived in time, from the port it used last.
    const Port* port = g_line.last;
    if (count == 1 && handle != 0 && port != nullptr && port->handle == handle &&
        !port->nullDevice && c.taken < c.queued) {
        const uint64_t at = g_queuedAt[c.taken];
        if (at <= c.now || port->limitMs == 0 || at - c.now <= port->limitMs) {
            if (at > c.now) c.now = at;
            buffer[0] = g_queuedBytes[c.taken++];
            if (received != nullptr) *received = 1;
            return PORT_OK;
        }
    }
    return ReadSlowly(handle, buffer, count, received);
}

int32_t PortPause(int32_t milliseconds) {
    if (milliseconds > 0) fuzzline::g_c.now += static_cast<uint64_t>(milliseconds);
    return 0;
}
