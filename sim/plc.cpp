#include "sim/plc.h"

#include <algorithm>
#include <cstdio>

#include "sim/codec.h"

namespace p8sim {

Request ParseRequest(const uint8_t* block, size_t n) {
    Request r;
    if (n >= 1) r.code = block[0];
    if (n >= 2) {
        r.station = block[1];
        r.has_station = true;
    }
    if (n >= kRequestHeader) {
        r.has_header = true;
        r.start = static_cast<uint16_t>(block[2] << 8 | block[3]);
        r.end = static_cast<uint16_t>(block[4] << 8 | block[5]);
        r.data.assign(block + kRequestHeader, block + n);
    }
    return r;
}

std::vector<uint8_t> DoneBlock(uint8_t station) {
    return {kBlockDone, station};
}

std::vector<uint8_t> ErrorBlock(uint8_t station, uint8_t request_code, uint8_t error) {
    return {kBlockError, station, request_code, error};
}

Plc::Plc() : mem_(kStations * kStationBytes, 0) {}

uint8_t Plc::Check(const Request& req) {
    if (!req.has_header) return kErrMalformed;
    if (req.code != kReqRead && req.code != kReqWrite) return kErrUnknownRequest;
    // Memory is served in whole bytes: a range must start on a high nibble
    // and end on a low one.
    if ((req.start & 1) != 0 || (req.end & 1) == 0) return kErrNotWholeBytes;
    const uint32_t bytes = NibbleCount(req.start, req.end) / 2;
    if (bytes > kMaxData) return kErrTooLong;
    if (req.code == kReqRead && !req.data.empty()) return kErrMalformed;
    if (req.code == kReqWrite && req.data.size() != bytes) return kErrLengthMismatch;
    return 0;
}

std::vector<uint8_t> Plc::Execute(const Request& req, bool* write_applied) {
    *write_applied = false;
    const uint8_t err = Check(req);
    if (err != 0) return ErrorBlock(req.station, req.code, err);
    const int station = req.station;
    const uint32_t addr = req.start / 2u;
    const size_t bytes = NibbleCount(req.start, req.end) / 2;
    if (req.code == kReqWrite) {
        Write(station, addr, req.data.data(), bytes);
        *write_applied = true;
        return DoneBlock(req.station);
    }
    std::vector<uint8_t> reply(2 + bytes);
    reply[0] = kBlockData;
    reply[1] = req.station;
    Read(station, addr, reply.data() + 2, bytes);
    return reply;
}

void Plc::Read(int station, uint32_t byte_addr, uint8_t* out, size_t n) const {
    const uint8_t* img = Image(station);
    for (size_t i = 0; i < n; ++i) out[i] = img[(byte_addr + i) % kStationBytes];
}

void Plc::Write(int station, uint32_t byte_addr, const uint8_t* in, size_t n) {
    uint8_t* img = Image(station);
    for (size_t i = 0; i < n; ++i) img[(byte_addr + i) % kStationBytes] = in[i];
}

void Plc::Clear() {
    std::fill(mem_.begin(), mem_.end(), uint8_t{0});
}

std::string DescribeRange(uint16_t start, uint16_t end) {
    char buf[160];
    const uint32_t nibbles = NibbleCount(start, end);
    const bool wraps = end < start;
    if ((start & 1) != 0 || (nibbles & 1) != 0) {
        std::snprintf(buf, sizeof buf, "nibbles %04X-%04X = %u nibbles (not whole bytes)%s", start,
                      end, nibbles, wraps ? " wraps" : "");
        return buf;
    }
    const uint32_t bytes = nibbles / 2;
    int len = std::snprintf(buf, sizeof buf, "nibbles %04X-%04X = %u byte%s @%04X", start, end,
                            bytes, bytes == 1 ? "" : "s", start / 2u);
    // The same bytes seen as the wider items a gate could name: item
    // address = nibble address / item width in nibbles.
    const bool words = nibbles % 4 == 0 && start % 4 == 0;
    const bool dwords = nibbles % 8 == 0 && start % 8 == 0;
    if (words) {
        len += std::snprintf(buf + len, sizeof buf - len, " (%u word%s @%04X", nibbles / 4,
                             nibbles == 4 ? "" : "s", start / 4u);
        if (dwords) {
            len += std::snprintf(buf + len, sizeof buf - len, ", %u dword%s @%04X", nibbles / 8,
                                 nibbles == 8 ? "" : "s", start / 8u);
        }
        len += std::snprintf(buf + len, sizeof buf - len, ")");
    }
    if (wraps) std::snprintf(buf + len, sizeof buf - len, " wraps");
    return buf;
}

namespace {

std::string DataSuffix(const uint8_t* p, size_t n) {
    if (n == 0) return "";
    return ": " + HexBytes(p, n);
}

}  // namespace

std::string DescribeRequest(const uint8_t* block, size_t n) {
    char head[64];
    if (n < 2) {
        return "request too short (" + std::to_string(n) + " bytes)" + DataSuffix(block, n);
    }
    const char* name = block[0] == kReqRead ? "READ" : block[0] == kReqWrite ? "WRITE" : nullptr;
    if (name) {
        std::snprintf(head, sizeof head, "%s st %u", name, block[1]);
    } else {
        std::snprintf(head, sizeof head, "request %02X st %u", block[0], block[1]);
    }
    if (n < kRequestHeader) {
        return std::string(head) + " header too short (" + std::to_string(n) + " bytes)";
    }
    const Request r = ParseRequest(block, n);
    std::string s = std::string(head) + " " + DescribeRange(r.start, r.end);
    if (!r.data.empty()) s += " data" + DataSuffix(r.data.data(), r.data.size());
    return s;
}

std::string DescribeReply(const uint8_t* block, size_t n) {
    char head[96];
    if (n == 0) return "empty block";
    switch (block[0]) {
        case kBlockDone:
            if (n < 2) return "DONE (no station)";
            std::snprintf(head, sizeof head, "DONE st %u", block[1]);
            return std::string(head) + (n > 2 ? " extra" + DataSuffix(block + 2, n - 2) : "");
        case kBlockError:
            if (n < 4) return "ERROR (short)" + DataSuffix(block, n);
            std::snprintf(head, sizeof head, "ERROR code %02X st %u req %02X", block[3], block[1],
                          block[2]);
            return head;
        case kBlockData:
            if (n < 2) return "DATA (no station)";
            std::snprintf(head, sizeof head, "DATA st %u %zu byte%s", block[1], n - 2,
                          n - 2 == 1 ? "" : "s");
            return head + DataSuffix(block + 2, n - 2);
        default:
            std::snprintf(head, sizeof head, "UNKNOWN block type %02X", block[0]);
            return head + DataSuffix(block + 1, n - 1);
    }
}

}  // namespace p8sim
