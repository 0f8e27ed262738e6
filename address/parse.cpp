#include "address/parse.h"

#include <cstring>

#include "driver/log.h"
#include "driver/operations.h"

namespace {

constexpr int kWorkSize = 12;    // the working copy: 11 characters and a zero
constexpr int kExamined = 8;     // positions 0..7 have a character class
constexpr int kPadded = 9;       // positions 0..8 are upper-cased and padded
constexpr int kShownMax = 11;    // longest text a refusal line repeats

constexpr const char* kClasses[kExamined] = {
    "0",
    "0123456789ABCDEF",
    "2489",
    "0123456789ABCDEF",
    "0123456789ABCDEF",
    "0123456789ABCDEF",
    "0123456789ABCDEF",
    "01234567 ",
};

bool InClass(const char* cls, char c) {
    return c != '\0' && std::strchr(cls, c) != nullptr;
}

int HexValue(char c) {
    return (c >= '0' && c <= '9') ? c - '0' : c - 'A' + 10;
}

// The text as the host handed it in, for the refusal line, as far as the
// parser examines it: a text that fills its field without a terminator is
// never read past the 11 characters that field can hold.
void ShownText(const char* text, char (&shown)[kShownMax + 1]) {
    int n = 0;
    if (text != nullptr) {
        while (n < kShownMax && text[n] != '\0') {
            shown[n] = text[n];
            ++n;
        }
    }
    shown[n] = '\0';
}

int32_t RefuseCharacter(const GateParse* gate, int position) {
    char shown[kShownMax + 1];
    ShownText(gate->address, shown);
    err(LOG_PROGRESS, "VAVE8> Parse() Illegal character %d in '%s'", position, shown);
    return NUV_REJECTED;
}

int32_t BlockLimit(int32_t memoryType) {
    switch (memoryType) {
        case MEM_BYTE: return 256;
        case MEM_WORD: return 128;
        default: return 64;  // '8' and '9': Parse admits nothing else
    }
}

}  // namespace

int32_t Parse(GateParse* gate) {
    // The host's text is never changed: all work happens in a private copy
    // that holds at most its first 11 characters.
    char work[kWorkSize] = {};
    int length = 0;
    if (gate->address != nullptr) {
        while (length < kWorkSize - 1 && gate->address[length] != '\0') {
            work[length] = gate->address[length];
            ++length;
        }
    }
    for (int i = 0; i < kPadded; ++i) {
        if (work[i] >= 'a' && work[i] <= 'f') work[i] = static_cast<char>(work[i] - 'a' + 'A');
    }
    for (int i = length; i < kPadded; ++i) work[i] = ' ';

    for (int i = 0; i < kExamined; ++i) {
        if (!InClass(kClasses[i], work[i])) return RefuseCharacter(gate, i);
    }

    gate->station = HexValue(work[0]) * 16 + HexValue(work[1]);
    gate->memoryType = work[2];
    const int32_t nibble = (HexValue(work[3]) << 12) | (HexValue(work[4]) << 8) |
                           (HexValue(work[5]) << 4) | HexValue(work[6]);
    if (nibble == 0xFFFF) {
        err(LOG_PROGRESS, "VAVE8> Parse() Illegal nibble address");
        return NUV_REJECTED;
    }
    gate->itemAddress = nibble;

    switch (gate->memoryType) {
        case MEM_BYTE:
            gate->valueWidth = 16;
            // Digit 0 names the most significant bit of the byte.
            gate->bitNumber = (work[7] == ' ') ? -1 : 7 - (work[7] - '0');
            if (nibble % 2 != 0) {
                err(LOG_PROGRESS, "VAVE8> Parse() Nibble address should be 2 nibble boundary");
                return NUV_REJECTED;
            }
            gate->itemAddress = nibble / 2;
            return NUV_OK;
        case MEM_WORD:
            gate->bitNumber = -1;
            gate->valueWidth = 16;
            if (nibble % 4 != 0) {
                err(LOG_PROGRESS, "VAVE8> Parse() Nibble address should be 4 nibble boundary");
                return NUV_REJECTED;
            }
            gate->itemAddress = nibble / 4;
            return NUV_OK;
        default:  // '8' and '9'
            gate->bitNumber = -1;
            gate->valueWidth = 32;
            if (nibble % 8 != 0) {
                err(LOG_PROGRESS, "VAVE8> Parse() Nibble address should be 8 nibble boundary");
                return NUV_REJECTED;
            }
            gate->itemAddress = nibble / 8;
            return NUV_OK;
    }
}

int32_t SingleAddressParser(NuvCall* call) {
    auto* gate = static_cast<GateParse*>(call->args);
    if (Parse(gate) != NUV_OK) return NUV_REJECTED;

    const uint32_t type = gate->gateType;
    switch (gate->memoryType) {
        case MEM_BYTE:
            if (gate->bitNumber == -1) {
                if (type > 2) {
                    err(LOG_PROGRESS, "VAVE8> SingleParse() Gate type should be 16-bit");
                    return NUV_REJECTED;
                }
            } else if (type != 6) {
                err(LOG_PROGRESS, "VAVE8> SingleParse() Gate type should be DIGITAL");
                return NUV_REJECTED;
            }
            break;
        case MEM_FLOAT:
            if (type != 3) {
                err(LOG_PROGRESS, "VAVE8> SingleParse() Gate type should be FLOAT");
                return NUV_REJECTED;
            }
            break;
        case MEM_DWORD:
            if (type != 4 && type != 5) {
                err(LOG_PROGRESS, "VAVE8> SingleParse() Gate type should be 32-bit");
                return NUV_REJECTED;
            }
            break;
        default:  // '4' takes every gate type
            break;
    }
    return NUV_OK;
}

int32_t BlockAddressParser(NuvCall* call) {
    auto* gate = static_cast<GateParse*>(call->args);
    if (Parse(gate) != NUV_OK) return NUV_REJECTED;

    if (gate->bitNumber != -1) {
        err(LOG_PROGRESS, "VAVE8> BlockParse() digital gates not allowed as block");
        return NUV_REJECTED;
    }
    // No lower bound: sizes of 0 and below pass.
    if (gate->blockSize > BlockLimit(gate->memoryType)) {
        err(LOG_PROGRESS, "VAVE8> BlockParse() block size out of range");
        return NUV_REJECTED;
    }
    return NUV_OK;
}
