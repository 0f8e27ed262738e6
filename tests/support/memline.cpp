// The in-memory line: the port operations over a virtual clock.
#include "tests/support/memline.h"

#include <deque>
#include <map>
#include <set>

#include "hostsvc/hostsvc.h"

namespace memline {
namespace {

constexpr uint32_t kFreshLimitMs = 1000;  // a port's read limit right after opening
constexpr uint8_t kF1 = 0xF1;
constexpr uint8_t kY = 0x59;

struct Arrival {
    uint8_t byte;
    uint64_t at;
};

struct Port {
    std::string name;
    bool nullDevice = false;
    uint32_t limitMs = kFreshLimitMs;
    uint16_t flags = 0;
    LineParams line{};
};

struct WriteFault {
    int32_t code;
    uint32_t written;
};

// Decodes the written bytes as frames, the way a PLC would: hunt for the
// start pair, undo the doubling, check the CRC byte.
struct FrameDecoder {
    enum class State { Hunt, AfterF1, Field };
    enum class Field { LenHigh, LenLow, Data, Crc };

    State state = State::Hunt;
    Field field = Field::LenHigh;
    bool copyPending = false;
    uint8_t pending = 0;
    uint8_t crc = 0;
    size_t length = 0;
    Bytes block;
};

struct State {
    uint64_t now = 0;
    Bytes written;
    std::vector<Request> requests;
    size_t writeCalls = 0;
    size_t readCalls = 0;
    size_t flushCalls = 0;
    std::vector<size_t> flushMarks;
    size_t endlessWaits = 0;
    std::deque<Arrival> incoming;
    Responder responder;
    FrameDecoder decoder;
    std::map<size_t, WriteFault> writeFaults;  // by PortWrite call number
    std::set<std::string> missing;
    int32_t nextOpenFailure = 0;
    bool nextCloseFails = false;
    std::map<PortHandle, Port> ports;
    PortHandle nextHandle = 1;
};

State& S() {
    static State state;
    return state;
}

void Rotate(uint8_t* crc, uint8_t byte) {
    *crc = static_cast<uint8_t>(((*crc >> 1) | (*crc << 7)) ^ byte);
}

void FrameComplete(bool crcOk) {
    State& s = S();
    Request request;
    request.block = s.decoder.block;
    request.crcOk = crcOk;
    request.index = s.requests.size();
    request.at = s.now;
    s.requests.push_back(request);
    s.decoder.state = FrameDecoder::State::Hunt;
    // A copy, so a responder may replace itself.
    Responder responder = s.responder;
    if (responder) responder(request);
}

void TakeValue(uint8_t value) {
    FrameDecoder& d = S().decoder;
    switch (d.field) {
        case FrameDecoder::Field::LenHigh:
            d.length = static_cast<size_t>(value) << 8;
            d.field = FrameDecoder::Field::LenLow;
            break;
        case FrameDecoder::Field::LenLow:
            d.length |= value;
            d.field = d.length == 0 ? FrameDecoder::Field::Crc : FrameDecoder::Field::Data;
            break;
        case FrameDecoder::Field::Data:
            d.block.push_back(value);
            if (d.block.size() == d.length) d.field = FrameDecoder::Field::Crc;
            break;
        case FrameDecoder::Field::Crc:
            FrameComplete(value == d.crc);
            break;
    }
}

void Decode(uint8_t byte) {
    FrameDecoder& d = S().decoder;
    switch (d.state) {
        case FrameDecoder::State::Hunt:
            if (byte == kF1) d.state = FrameDecoder::State::AfterF1;
            return;
        case FrameDecoder::State::AfterF1:
            if (byte != kY) {
                d.state = FrameDecoder::State::Hunt;
                return;
            }
            d.state = FrameDecoder::State::Field;
            d.field = FrameDecoder::Field::LenHigh;
            d.copyPending = false;
            d.crc = 0;
            d.length = 0;
            d.block.clear();
            return;
        case FrameDecoder::State::Field:
            break;
    }
    if (d.field != FrameDecoder::Field::Crc) Rotate(&d.crc, byte);
    if (d.copyPending) {
        d.copyPending = false;
        if (byte != d.pending) {
            // Broken doubling: the frame was abandoned. A start pair here
            // begins the sender's next frame, as it would for a real PLC.
            d.state = FrameDecoder::State::Hunt;
            if (d.pending == kF1 && byte == kY) {
                d.state = FrameDecoder::State::AfterF1;
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

Port* Find(PortHandle handle) {
    auto it = S().ports.find(handle);
    return it == S().ports.end() ? nullptr : &it->second;
}

}  // namespace

void Reset() {
    S() = State{};
}

uint64_t Now() {
    return S().now;
}
void Advance(uint64_t ms) {
    S().now += ms;
}

const Bytes& Written() {
    return S().written;
}
const std::vector<Request>& Requests() {
    return S().requests;
}
size_t WriteCalls() {
    return S().writeCalls;
}
size_t ReadCalls() {
    return S().readCalls;
}
size_t FlushCalls() {
    return S().flushCalls;
}
const std::vector<size_t>& FlushMarks() {
    return S().flushMarks;
}
size_t EndlessWaits() {
    return S().endlessWaits;
}

void Queue(const Bytes& bytes, uint64_t delayMs) {
    State& s = S();
    uint64_t at = s.now + delayMs;
    for (uint8_t byte : bytes) {
        // Bytes on a line never overtake one another.
        if (!s.incoming.empty() && s.incoming.back().at > at) at = s.incoming.back().at;
        s.incoming.push_back({byte, at});
    }
}

void QueueFrame(const Bytes& block, uint64_t delayMs) {
    Queue(Frame(block), delayMs);
}

size_t Pending() {
    return S().incoming.size();
}

void SetResponder(Responder responder) {
    S().responder = std::move(responder);
}

void FailWrite(size_t n, int32_t code, uint32_t written) {
    S().writeFaults[S().writeCalls + n] = {code, written};
}

void AddMissingPort(const std::string& name) {
    S().missing.insert(name);
}
void FailNextOpen(int32_t code) {
    S().nextOpenFailure = code;
}
void FailNextClose() {
    S().nextCloseFails = true;
}

bool IsOpen(PortHandle handle) {
    return Find(handle) != nullptr;
}
size_t OpenCount() {
    return S().ports.size();
}
std::string PortName(PortHandle handle) {
    const Port* port = Find(handle);
    return port ? port->name : std::string();
}
uint32_t ReadLimitMs(PortHandle handle) {
    const Port* port = Find(handle);
    return port ? port->limitMs : 0;
}
uint16_t LineFlags(PortHandle handle) {
    const Port* port = Find(handle);
    return port ? port->flags : 0;
}
LineParams Line(PortHandle handle) {
    const Port* port = Find(handle);
    return port ? port->line : LineParams{};
}

uint8_t Crc(const Bytes& lineBytes) {
    uint8_t crc = 0;
    for (uint8_t byte : lineBytes) Rotate(&crc, byte);
    return crc;
}

Bytes Frame(const Bytes& block) {
    Bytes frame{kF1, kY};
    uint8_t crc = 0;
    auto put = [&frame, &crc](uint8_t byte, bool feed) {
        const int copies = (byte == kF1 || byte == kY) ? 2 : 1;
        for (int i = 0; i < copies; ++i) {
            frame.push_back(byte);
            if (feed) Rotate(&crc, byte);
        }
    };
    put(static_cast<uint8_t>(block.size() >> 8), true);
    put(static_cast<uint8_t>(block.size() & 0xFF), true);
    for (uint8_t byte : block) put(byte, true);
    put(crc, false);
    return frame;
}

Bytes Plc::Answer(const Bytes& request) {
    if (request.size() < 6) return {1, 0, 0, 0x01};
    const uint32_t start = static_cast<uint32_t>(request[2] << 8 | request[3]);
    const uint32_t end = static_cast<uint32_t>(request[4] << 8 | request[5]);
    const uint32_t nibbles = ((end - start) & 0xFFFFu) + 1u;
    uint32_t bytes = nibbles / 2u;
    if (bytes > 256u) bytes = 256u;
    const uint32_t first = start / 2u;
    const size_t mask = memory.size() - 1;
    if (request[0] == 0xA2) {
        Bytes reply{3, 0};
        for (uint32_t i = 0; i < bytes; ++i) reply.push_back(memory[(first + i) & mask]);
        return reply;
    }
    if (request[0] == 0xA1) {
        for (size_t i = 6; i < request.size(); ++i) memory[(first + i - 6) & mask] = request[i];
        return {0};
    }
    return {1, 0, 0, 0x01};
}

void Plc::Serve() {
    SetResponder([this](const Request& request) { QueueFrame(Answer(request.block)); });
}

LogCapture::LogCapture() {
    hostsvc_set_sink(&LogCapture::Sink, this);
}
LogCapture::~LogCapture() {
    hostsvc_set_sink(nullptr, nullptr);
}

void LogCapture::Sink(void* context, int level, const char* line) {
    static_cast<LogCapture*>(context)->lines_.push_back({level, line});
}

std::vector<std::string> LogCapture::Texts() const {
    std::vector<std::string> texts;
    for (const LogLine& line : lines_) texts.push_back(line.text);
    return texts;
}

size_t LogCapture::Count(const std::string& text) const {
    size_t count = 0;
    for (const LogLine& line : lines_) count += line.text == text ? 1 : 0;
    return count;
}

}  // namespace memline

// ---- the port operations ----

int32_t PortOpen(const char* name, const LineParams* line, uint16_t flags, PortHandle* handle) {
    memline::State& s = memline::S();
    *handle = kInvalidPortHandle;
    const std::string portName = name;
    if (s.nextOpenFailure != 0) {
        const int32_t code = s.nextOpenFailure;
        s.nextOpenFailure = 0;
        return code;
    }
    if (s.missing.count(portName) != 0 || portName.rfind("MISSING", 0) == 0) {
        return PORT_OPEN_FAILED;
    }
    memline::Port port;
    port.name = portName;
    if (portName == "NUL") {
        port.nullDevice = true;  // no configuration: line and flags are not read
    } else {
        // Devices are exclusive: a second open of a held port fails.
        for (const auto& [held, open] : s.ports) {
            if (open.name == portName) return PORT_OPEN_FAILED;
        }
        port.flags = flags;
        if (flags != 0) port.line = *line;
    }
    *handle = s.nextHandle++;
    s.ports[*handle] = port;
    return PORT_OK;
}

int32_t PortClose(PortHandle handle) {
    memline::State& s = memline::S();
    if (memline::Find(handle) == nullptr) return PORT_IO_FAILED;
    if (s.nextCloseFails) {
        s.nextCloseFails = false;
        return PORT_IO_FAILED;
    }
    s.ports.erase(handle);
    return PORT_OK;
}

int32_t PortSetReadTimeout(PortHandle handle, int32_t ticks) {
    memline::Port* port = memline::Find(handle);
    if (port == nullptr) return 0;
    const uint32_t previous = port->limitMs;
    port->limitMs = static_cast<uint32_t>(ticks) * 10u;
    return static_cast<int32_t>(previous) / 10;
}

int32_t PortFlushInput(PortHandle handle) {
    memline::State& s = memline::S();
    ++s.flushCalls;
    s.flushMarks.push_back(s.written.size());
    if (memline::Find(handle) == nullptr) return 1;
    while (!s.incoming.empty() && s.incoming.front().at <= s.now) s.incoming.pop_front();
    return 0;
}

int32_t PortSendBreak(int32_t milliseconds, PortHandle) {
    if (milliseconds > 0) memline::S().now += static_cast<uint64_t>(milliseconds);
    return 0;
}

int32_t PortWrite(PortHandle handle, const uint8_t* bytes, uint32_t count, uint32_t* written) {
    memline::State& s = memline::S();
    const size_t call = ++s.writeCalls;
    auto fault = s.writeFaults.find(call);
    if (fault != s.writeFaults.end()) {
        const memline::WriteFault f = fault->second;
        s.writeFaults.erase(fault);
        if (written != nullptr && f.code != PORT_IO_FAILED) *written = f.written;
        return f.code;
    }
    const memline::Port* port = memline::Find(handle);
    if (port == nullptr) return PORT_IO_FAILED;
    if (written != nullptr) *written = count;
    if (port->nullDevice) return PORT_OK;
    for (uint32_t i = 0; i < count; ++i) {
        s.written.push_back(bytes[i]);
        memline::Decode(bytes[i]);
    }
    return PORT_OK;
}

int32_t PortRead(PortHandle handle, uint8_t* buffer, uint32_t count, uint32_t* received) {
    memline::State& s = memline::S();
    ++s.readCalls;
    if (received != nullptr) *received = 0;
    const memline::Port* port = memline::Find(handle);
    if (port == nullptr || port->nullDevice || count == 0) return PORT_IO_FAILED;

    uint32_t got = 0;
    while (got < count) {
        // One pass: everything that arrives before the read limit runs out.
        const bool endless = port->limitMs == 0;
        const uint64_t deadline = s.now + port->limitMs;
        uint32_t pass = 0;
        while (got < count && !s.incoming.empty() &&
               (endless || s.incoming.front().at <= deadline)) {
            if (s.incoming.front().at > s.now) s.now = s.incoming.front().at;
            buffer[got++] = s.incoming.front().byte;
            s.incoming.pop_front();
            ++pass;
        }
        if (received != nullptr) *received = got;
        if (got == count) break;
        if (endless) {
            ++s.endlessWaits;  // a real port would wait here forever
            return PORT_IO_FAILED;
        }
        s.now = deadline;
        if (pass == 0) return PORT_IO_FAILED;
    }
    return PORT_OK;
}

int32_t PortPause(int32_t milliseconds) {
    if (milliseconds > 0) memline::S().now += static_cast<uint64_t>(milliseconds);
    return 0;
}
