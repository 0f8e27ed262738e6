// The address parsers through NuvMain (codes 3 and 4) over arbitrary texts.
//
// Input: a mode byte, the gate type (one byte, sign-extended to 32 bits),
// the block size (4 bytes, little-endian), then the text bytes.
//   mode bit 0      block gate (code 4) instead of a single gate (code 3)
//   mode bits 1-2   how the text is handed over: 0 and 1 zero-terminated in
//                   a heap block that ends with the terminator; 2 with no
//                   terminator but 96 bytes of '~' behind it, ending the
//                   heap block; 3 a null pointer when the text is empty
// The heap block ends where the host's text ends, so a read past it is an
// overflow the sanitizers report. The result must be 0 or 1 with exactly one
// log line per refusal and none otherwise; the text, the host's fields and
// the DriverInstance stay untouched; an accepted text must give sound out
// fields that spell the same text again, and the result must match what
// the address rules say about the text.
#include <cstdio>
#include <memory>
#include <string>

#include "driver/operations.h"
#include "tests/fuzz/harness.h"

namespace {

constexpr size_t kPad = 96;

std::string Upper(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

bool IsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

int Nibbles(char type) {
    return type == '2' ? 2 : type == '4' ? 4 : 8;
}

int Limit(char type) {
    return type == '2' ? 256 : type == '4' ? 128 : 64;
}

// The address rules on their own: 0 when the gate is accepted, else 1.
int32_t Expected(const std::string& seen, uint32_t gateType, int32_t blockSize, bool block) {
    std::string t = Upper(seen.substr(0, 9));
    if (t.size() < 8) t.resize(8, ' ');
    if (t[0] != '0' || !IsHex(t[1])) return 1;
    const char type = t[2];
    if (type != '2' && type != '4' && type != '8' && type != '9') return 1;
    for (int i = 3; i < 7; ++i) {
        if (!IsHex(t[i])) return 1;
    }
    if (!(t[7] == ' ' || (t[7] >= '0' && t[7] <= '7'))) return 1;
    const int nibble = std::stoi(t.substr(3, 4), nullptr, 16);
    if (nibble == 0xFFFF || nibble % Nibbles(type) != 0) return 1;
    const bool bit = type == '2' && t[7] != ' ';
    if (block) return (bit || blockSize > Limit(type)) ? 1 : 0;
    switch (type) {
        case '2':
            return bit ? (gateType == 6 ? 0 : 1) : (gateType <= 2 ? 0 : 1);
        case '8':
            return gateType == 4 || gateType == 5 ? 0 : 1;
        case '9':
            return gateType == 3 ? 0 : 1;
        default:
            return 0;
    }
}

// The five out fields of an accepted gate: in range, and together they
// spell the first eight characters of the text again.
void CheckAccepted(const GateParse& g, const std::string& seen) {
    const char type = static_cast<char>(g.memoryType);
    FUZZ_CHECK(type == '2' || type == '4' || type == '8' || type == '9');
    FUZZ_CHECK(g.station >= 0 && g.station <= 15);
    FUZZ_CHECK(g.valueWidth == (type == '2' || type == '4' ? 16 : 32));
    FUZZ_CHECK(g.bitNumber >= -1 && g.bitNumber <= 7);
    FUZZ_CHECK(type == '2' || g.bitNumber == -1);
    FUZZ_CHECK(g.itemAddress >= 0 && g.itemAddress <= 0xFFFE / Nibbles(type));
    if (g.station < 0 || g.station > 15 || g.itemAddress < 0 || g.itemAddress > 0x7FFF) return;

    char spelled[16];
    std::snprintf(spelled, sizeof spelled, "%02X%c%04X", static_cast<unsigned>(g.station), type,
                  static_cast<unsigned>(g.itemAddress * Nibbles(type)));
    FUZZ_CHECK(seen.size() >= 7 && Upper(seen.substr(0, 7)) == spelled);
    const char bitDigit = seen.size() > 7 ? seen[7] : ' ';
    if (type == '2') {
        const int expected = bitDigit == ' ' ? -1 : 7 - (bitDigit - '0');
        FUZZ_CHECK(g.bitNumber == expected);
    }
}

}  // namespace

int fuzz::AddressOne(const uint8_t* data, size_t size) {
    ResetLog();
    Reader in(data, size);
    const uint8_t mode = in.Byte();
    const bool block = (mode & 1) != 0;
    const int form = (mode >> 1) & 3;
    const uint32_t gateType = static_cast<uint32_t>(static_cast<int32_t>(in.Signed8()));
    const int32_t blockSize = in.I32();
    size_t textLength = 0;
    const uint8_t* text = in.Take(in.Left(), &textLength);

    // The host's text, in a heap block that ends where the text does.
    const bool terminated = form != 2;
    const bool null = form == 3 && textLength == 0;
    const size_t held = textLength + (terminated ? 1 : kPad);
    std::unique_ptr<char[]> host(new char[held]);
    std::memcpy(host.get(), text, textLength);
    if (terminated) {
        host[textLength] = '\0';
    } else {
        std::memset(host.get() + textLength, '~', kPad);
    }
    const std::string original(host.get(), held);
    // What the parser may look at: up to the first zero byte, or all of it.
    const std::string seen = null ? std::string() : original.substr(0, original.find('\0'));

    GateParse gate{};
    gate.address = null ? nullptr : host.get();
    gate.hostOwn = 0xC0FFEE11u;
    gate.gateType = gateType;
    gate.blockSize = blockSize;
    gate.station = gate.memoryType = gate.itemAddress = gate.bitNumber = gate.valueWidth =
        0x5A5A5A5A;

    Guarded<sizeof(DriverInstance)> instance;
    instance.Arm();
    instance.body.fill(0x3C);
    const auto instanceBefore = instance.body;

    NuvCall call{};
    call.instance = reinterpret_cast<DriverInstance*>(instance.body.data());
    call.function = block ? FN_BLOCK_ADDRESS_PARSER : FN_SINGLE_ADDRESS_PARSER;
    call.args = &gate;
    const int32_t result = NuvMain(&call);

    FUZZ_CHECK(result == 0 || result == 1);
    FUZZ_CHECK(LogLines() == (result == 0 ? 0 : 1));
    FUZZ_CHECK(std::string(host.get(), held) == original);
    FUZZ_CHECK(gate.address == (null ? nullptr : host.get()));
    FUZZ_CHECK(gate.hostOwn == 0xC0FFEE11u && gate.gateType == gateType);
    FUZZ_CHECK(gate.blockSize == blockSize);
    FUZZ_CHECK(instance.Intact() && instance.body == instanceBefore);
    FUZZ_CHECK(result == Expected(seen, gateType, blockSize, block));
    if (result == 0) CheckAccepted(gate, seen);
    return 0;
}
