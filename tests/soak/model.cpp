#include "tests/soak/model.h"

#include <climits>

namespace soak {

namespace {

void Store16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
}

void Store32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>((v >> (8 * i)) & 0xFF);
}

uint32_t BigEndian32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

char HexDigit(uint32_t v, bool lower) {
    const char* digits = lower ? "0123456789abcdef" : "0123456789ABCDEF";
    return digits[v & 0xF];
}

// The address text a host's configuration would hold for this gate. Upper
// and lower case, 7 to 11 characters, and the bit position filled where the
// memory type ignores it: every form the parser accepts.
std::string AddressText(Rng& rng, int station, char type, uint32_t byteAddr, int bit) {
    const uint32_t nibble = (byteAddr * 2) & 0xFFFF;
    const bool lower = rng.Percent(30);
    std::string text = "0";
    text += HexDigit(static_cast<uint32_t>(station), lower);
    text += type;
    for (int shift = 12; shift >= 0; shift -= 4) text += HexDigit(nibble >> shift, lower);
    if (bit >= 0) {
        text += static_cast<char>('0' + (7 - bit));  // digit 0 is the top bit
    } else if (type != '2' && rng.Percent(30)) {
        text += static_cast<char>('0' + rng.Below(8));  // ignored for these types
    } else if (rng.Percent(30)) {
        text += ' ';
    }
    if (text.size() == 8 && rng.Percent(20)) {
        const uint32_t extra = 1 + rng.Below(3);
        for (uint32_t i = 0; i < extra; ++i) text += static_cast<char>('a' + rng.Below(26));
    }
    return text;
}

uint32_t GateTypeFor(Rng& rng, char type, int bit) {
    switch (type) {
        case '2':
            return bit >= 0 ? 6 : rng.Below(3);
        case '4':
            return rng.Below(7);
        case '8':
            return 4 + rng.Below(2);
        default:
            return 3;
    }
}

}  // namespace

uint64_t Rng::Next() {
    state_ += 0x9E3779B97F4A7C15ull;
    uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint32_t Rng::Below(uint32_t n) {
    return n == 0 ? 0 : static_cast<uint32_t>(Next() % n);
}

Shadow::Shadow() : mem_(kStationCount * size_t{kStationBytes}, 0) {}

void Shadow::Seed(uint64_t seed) {
    Rng rng(seed ^ 0xC0FFEE1234567ull);
    for (int station : kStations) {
        for (uint32_t o = 0; o < kWindowBytes; ++o) Set(station, WindowAddress(o), rng.Byte());
    }
}

uint8_t Shadow::Get(int station, uint32_t byteAddr) const {
    return mem_[station * size_t{kStationBytes} + byteAddr % kStationBytes];
}

void Shadow::Set(int station, uint32_t byteAddr, uint8_t value) {
    mem_[station * size_t{kStationBytes} + byteAddr % kStationBytes] = value;
}

std::vector<uint8_t> Shadow::Range(int station, uint32_t byteAddr, size_t n) const {
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = Get(station, static_cast<uint32_t>(byteAddr + i));
    return out;
}

void Shadow::SetRange(int station, uint32_t byteAddr, const std::vector<uint8_t>& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i)
        Set(station, static_cast<uint32_t>(byteAddr + i), bytes[i]);
}

bool Shadow::WriteImage(const std::string& path, std::string* error) const {
    // Binary mode: the same bytes whichever system writes the file, so that
    // it compares equal with the simulator's own dump.
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        *error = "cannot write " + path;
        return false;
    }
    std::fputs("# p8sim memory: station:byteaddr: bytes (hex); rows of zeros left out\n", out);
    for (int station = 0; station < kStationCount; ++station) {
        const uint8_t* image = Image(station);
        for (uint32_t row = 0; row < kStationBytes; row += 16) {
            bool zero = true;
            for (uint32_t i = 0; i < 16; ++i) zero = zero && image[row + i] == 0;
            if (zero) continue;
            std::fprintf(out, "%d:%04X: ", station, row);
            for (uint32_t i = 0; i < 16; ++i) {
                std::fprintf(out, i == 0 ? "%02X" : " %02X", image[row + i]);
            }
            std::fputc('\n', out);
        }
    }
    const bool ok = std::fclose(out) == 0;
    if (!ok) *error = "cannot write " + path;
    return ok;
}

int ItemBytesOf(char type) {
    return type == '2' ? 1 : type == '4' ? 2 : 4;
}

int32_t BlockLimit(char type) {
    return 256 / ItemBytesOf(type);
}

int Op::ItemBytes() const {
    return ItemBytesOf(type);
}

uint32_t Op::Span() const {
    if (expectRefusal) return 0;
    return static_cast<uint32_t>(Items()) * static_cast<uint32_t>(ItemBytes());
}

size_t Op::AreaSize() const {
    if (!IsBlock()) return 4;
    const size_t slot = type == '2' || type == '4' ? 2 : 4;
    return static_cast<size_t>(expectRefusal ? parsedCount : count) * slot;
}

std::string Op::Describe() const {
    static const char* const kNames[] = {"single read", "block read", "single write",
                                         "block write"};
    char text[160];
    std::snprintf(text, sizeof text, "%s '%c' x%d station %d at byte %04X (text \"%s\")",
                  kNames[static_cast<int>(kind)], type, static_cast<int>(count), station, byteAddr,
                  address.c_str());
    std::string described = text;
    if (bit >= 0) described += " bit " + std::to_string(bit);
    return described;
}

Op RandomOp(Rng& rng, uint32_t refusalPercent) {
    static const char kTypes[] = {'2', '4', '8', '9'};
    Op op;
    op.station = kStations[rng.Below(static_cast<uint32_t>(kStations.size()))];
    op.type = kTypes[rng.Below(4)];
    op.kind = static_cast<Kind>(rng.Below(4));
    const int32_t limit = BlockLimit(op.type);

    if (!op.IsBlock()) {
        op.count = 1;
        if (op.type == '2' && rng.Percent(40)) op.bit = static_cast<int>(rng.Below(8));
    } else {
        const uint32_t r = rng.Below(100);
        if (r < 15) {
            op.count = limit;
        } else if (r < 30) {
            op.count = 1;
        } else if (r < 60) {
            op.count = 1 + static_cast<int32_t>(rng.Below(8));
        } else {
            op.count = 1 + static_cast<int32_t>(rng.Below(static_cast<uint32_t>(limit)));
        }
    }
    op.parsedCount = op.count;

    const uint32_t bytes = static_cast<uint32_t>(op.ItemBytes());
    const uint32_t span = static_cast<uint32_t>(op.count) * bytes;
    op.byteAddr = WindowAddress(rng.Below((kWindowBytes - span) / bytes + 1) * bytes);
    op.address = AddressText(rng, op.station, op.type, op.byteAddr, op.bit);
    op.gateType = GateTypeFor(rng, op.type, op.bit);

    if (op.IsBlock() && rng.Percent(refusalPercent)) {
        // Counts no request can carry: above the limit for both, and
        // negative for a write, whose data would not fit any buffer.
        const int32_t reads[] = {limit + 1, limit + 1 + static_cast<int32_t>(rng.Below(5000)),
                                 INT32_MAX};
        const int32_t writes[] = {limit + 1, INT32_MAX, -1, INT32_MIN,
                                  -1 - static_cast<int32_t>(rng.Below(5000))};
        op.expectRefusal = true;
        op.count = op.kind == Kind::BlockRead ? reads[rng.Below(3)] : writes[rng.Below(5)];
    }
    return op;
}

Op ByteBlockRead(int station, uint32_t byteAddr, int32_t n) {
    Rng rng(byteAddr);
    Op op;
    op.kind = Kind::BlockRead;
    op.station = station;
    op.type = '2';
    op.byteAddr = byteAddr % kStationBytes;
    op.count = n;
    op.parsedCount = n;
    op.address = AddressText(rng, station, '2', op.byteAddr, -1);
    op.gateType = 0;
    return op;
}

std::vector<uint8_t> AreaAfterRead(const Op& op, const std::vector<uint8_t>& area,
                                   const std::vector<uint8_t>& plc) {
    std::vector<uint8_t> out = area;
    if (!op.IsBlock()) {
        switch (op.type) {
            case '2':
                Store16(&out[2], op.bit >= 0 ? (plc[0] >> op.bit) & 1u : plc[0]);
                break;
            case '4':
                Store16(&out[2], static_cast<uint32_t>(plc[0]) << 8 | plc[1]);
                break;
            default:
                Store32(&out[0], BigEndian32(&plc[0]));
                break;
        }
        return out;
    }
    for (size_t i = 0; i < static_cast<size_t>(op.count); ++i) {
        switch (op.type) {
            case '2':
                Store16(&out[2 * i], plc[i]);
                break;
            case '4':
                Store16(&out[2 * i], static_cast<uint32_t>(plc[2 * i]) << 8 | plc[2 * i + 1]);
                break;
            default:
                Store32(&out[4 * i], BigEndian32(&plc[4 * i]));
                break;
        }
    }
    return out;
}

std::vector<uint8_t> AreaAfterWrite(const Op& op, const std::vector<uint8_t>& area) {
    std::vector<uint8_t> out = area;
    // A bit write leaves the byte it was asked to write, zero-extended.
    if (!op.IsBlock() && op.type == '2' && op.bit >= 0) out[3] = 0;
    return out;
}

std::vector<uint8_t> BytesWritten(const Op& op, const std::vector<uint8_t>& area,
                                  const std::vector<uint8_t>& plcBefore) {
    if (!op.IsBlock()) {
        switch (op.type) {
            case '2':
                if (op.bit >= 0) {
                    const uint8_t mask = static_cast<uint8_t>(1u << op.bit);
                    return {area[2] != 0 ? static_cast<uint8_t>(plcBefore[0] | mask)
                                         : static_cast<uint8_t>(plcBefore[0] & ~mask)};
                }
                return {area[2]};
            case '4':
                return {area[3], area[2]};
            default:
                return {area[3], area[2], area[1], area[0]};
        }
    }
    std::vector<uint8_t> out;
    for (size_t i = 0; i < static_cast<size_t>(op.count); ++i) {
        switch (op.type) {
            case '2':
                out.push_back(area[2 * i]);
                break;
            case '4':
                out.push_back(area[2 * i + 1]);
                out.push_back(area[2 * i]);
                break;
            default:
                for (int b = 3; b >= 0; --b) out.push_back(area[4 * i + static_cast<size_t>(b)]);
                break;
        }
    }
    return out;
}

std::string Hex(const std::vector<uint8_t>& bytes, size_t max) {
    std::string out;
    char two[4];
    for (size_t i = 0; i < bytes.size() && i < max; ++i) {
        std::snprintf(two, sizeof two, i == 0 ? "%02X" : " %02X", bytes[i]);
        out += two;
    }
    if (bytes.size() > max) out += " ...";
    return out;
}

}  // namespace soak
