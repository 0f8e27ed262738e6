#include "tools/format.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vave8ctl {

namespace {

constexpr uint8_t kReadCode = 0xA2;
constexpr uint8_t kWriteCode = 0xA1;
constexpr uint8_t kDoneBlock = 0;
constexpr uint8_t kErrorBlock = 1;
constexpr uint8_t kDataBlock = 3;
constexpr size_t kHeaderBytes = 6;

std::string Printf(const char* format, auto... values) {
    char text[256];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

bool IsHexPrefixed(std::string_view text) {
    return text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

// The shortest decimal that reads back as the same float.
std::string ShortestFloat(float value) {
    char text[64];
    auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

float FloatFromBits(uint32_t raw) {
    float value;
    std::memcpy(&value, &raw, sizeof value);
    return value;
}

uint32_t BitsFromFloat(float value) {
    uint32_t raw;
    std::memcpy(&raw, &value, sizeof raw);
    return raw;
}

uint16_t Word(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

// Code page 437, characters 0x80 to 0xFF.
constexpr char16_t kCp437High[] =
    u"ÇüéâäàåçêëèïîìÄÅ"
    u"ÉæÆôöòûùÿÖÜ¢£¥₧ƒ"
    u"áíóúñÑªº¿⌐¬½¼¡«»"
    u"░▒▓│┤╡╢╖╕╣║╗╝╜╛┐"
    u"└┴┬├─┼╞╟╚╔╩╦╠═╬╧"
    u"╨╤╥╙╘╒╓╫╪┘┌█▄▌▐▀"
    u"αßΓπΣσµτΦΘΩδ∞φε∩"
    u"≡±≥≤⌠⌡÷≈°∙·√ⁿ²■\u00A0";
static_assert(sizeof kCp437High / sizeof kCp437High[0] == 128 + 1);

void AppendUtf8(std::string& out, char16_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

bool ParseInteger(std::string_view text, int64_t min, int64_t max, int64_t* out) {
    int64_t value = 0;
    if (IsHexPrefixed(text)) {
        uint64_t magnitude = 0;
        const char* first = text.data() + 2;
        const char* last = text.data() + text.size();
        auto result = std::from_chars(first, last, magnitude, 16);
        if (result.ec != std::errc() || result.ptr != last) return false;
        if (magnitude > static_cast<uint64_t>(INT64_MAX)) return false;
        value = static_cast<int64_t>(magnitude);
    } else {
        // from_chars takes a minus sign but no plus sign.
        if (!text.empty() && text[0] == '+') text.remove_prefix(1);
        if (text.empty() || text[0] == '+') return false;
        const char* last = text.data() + text.size();
        auto result = std::from_chars(text.data(), last, value, 10);
        if (result.ec != std::errc() || result.ptr != last) return false;
    }
    if (value < min || value > max) return false;
    *out = value;
    return true;
}

bool ParseDecimal(std::string_view text, double* out) {
    if (text.empty() || IsHexPrefixed(text)) return false;
    std::string copy(text);
    char* end = nullptr;
    double value = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size() || !std::isfinite(value)) return false;
    *out = value;
    return true;
}

int ItemBytes(int32_t memoryType) {
    switch (memoryType) {
        case '2':
            return 1;
        case '4':
            return 2;
        case '8':
        case '9':
            return 4;
        default:
            return 0;
    }
}

uint32_t NaturalGateType(int32_t memoryType, int32_t bitNumber) {
    switch (memoryType) {
        case '2':
            return bitNumber >= 0 ? 6 : 0;
        case '8':
            return 4;
        case '9':
            return 3;
        default:
            return 1;
    }
}

const char* GateTypeName(uint32_t gateType) {
    switch (gateType) {
        case 0:
        case 1:
        case 2:
            return "16-bit";
        case 3:
            return "float";
        case 4:
        case 5:
            return "32-bit";
        case 6:
            return "digital";
        default:
            return "unknown";
    }
}

char MemoryTypeChar(int32_t memoryType) {
    return ItemBytes(memoryType) != 0 ? static_cast<char>(memoryType) : '?';
}

const char* MemoryTypeName(int32_t memoryType) {
    switch (memoryType) {
        case '2':
            return "8-bit byte";
        case '4':
            return "16-bit word";
        case '8':
            return "32-bit integer";
        case '9':
            return "32-bit float";
        default:
            return "unknown memory type";
    }
}

bool ParseGateValue(int32_t memoryType, bool isBit, std::string_view text, uint32_t* raw,
                    std::string* error, std::string* note) {
    const std::string shown(text);
    int64_t value = 0;
    if (isBit) {
        if (!ParseInteger(text, 0, 1, &value)) {
            *error = "a bit takes 0 or 1, not '" + shown + "'";
            return false;
        }
        *raw = static_cast<uint32_t>(value);
        return true;
    }
    switch (memoryType) {
        case '2':
            if (!ParseInteger(text, -128, 255, &value)) {
                *error = "'" + shown + "' is not a byte value (-128..255, or 0x00..0xFF)";
                return false;
            }
            *raw = static_cast<uint32_t>(value) & 0xFFu;
            return true;
        case '4':
            if (!ParseInteger(text, -32768, 65535, &value)) {
                *error = "'" + shown + "' is not a word value (-32768..65535, or 0x0000..0xFFFF)";
                return false;
            }
            *raw = static_cast<uint32_t>(value) & 0xFFFFu;
            return true;
        case '8':
            if (!ParseInteger(text, INT32_MIN, UINT32_MAX, &value)) {
                *error = "'" + shown +
                         "' is not a 32-bit value (-2147483648..4294967295, or 0x0..0xFFFFFFFF)";
                return false;
            }
            *raw = static_cast<uint32_t>(value);
            return true;
        case '9': {
            // 0x... is the raw bit pattern, for values a decimal cannot name.
            if (IsHexPrefixed(text)) {
                if (!ParseInteger(text, 0, UINT32_MAX, &value)) {
                    *error = "'" + shown + "' is not a 32-bit pattern (0x0..0xFFFFFFFF)";
                    return false;
                }
                *raw = static_cast<uint32_t>(value);
                return true;
            }
            double number = 0;
            if (!ParseDecimal(text, &number)) {
                *error = "'" + shown + "' is not a number";
                return false;
            }
            const float single = static_cast<float>(number);
            if (!std::isfinite(single)) {
                *error = "'" + shown + "' is out of range for a 32-bit float";
                return false;
            }
            *raw = BitsFromFloat(single);
            // The float is shown the way it reads back; when that is not
            // the number typed, the engineer is told what the PLC gets.
            const std::string stored = ShortestFloat(single);
            if (note != nullptr && std::strtod(stored.c_str(), nullptr) != number) {
                *note =
                    single == 0 && number != 0
                        ? "'" + shown + "' is too small for a 32-bit float: 0 is stored"
                        : "'" + shown + "' is stored as " + stored + ", the nearest 32-bit float";
            }
            return true;
        }
        default:
            *error = "the memory type has no values";
            return false;
    }
}

int32_t LastItem(int32_t memoryType) {
    const int bytes = ItemBytes(memoryType);
    return bytes == 0 ? -1 : 0x10000 / (2 * bytes) - 1;
}

std::string IgnoredAddressCharacters(std::string_view address) {
    if (address.size() < 3) return "";
    const bool hasBit = address[2] == '2';
    std::string ignored;
    size_t kept = address.size();
    for (size_t i = hasBit ? 8 : 7; i < address.size() && i <= 10; ++i) {
        if (address[i] == ' ') continue;
        kept = std::min(kept, i);
        ignored += Printf("%s%zu ('%c')", ignored.empty() ? "" : ", ", i, address[i]);
    }
    if (ignored.empty()) return "";
    std::string text = "'" + std::string(address) + "': the driver ignores character" +
                       (ignored.find(',') != std::string::npos ? "s " : " ") + ignored;
    if (!hasBit && address.size() > 7 && address[7] != ' ') {
        text += Printf(" (memory type '%c' has no bit digit)", address[2]);
    }
    std::string_view taken = address.substr(0, kept);
    while (!taken.empty() && taken.back() == ' ') taken.remove_suffix(1);
    return text + " and takes it as " + std::string(taken);
}

std::string FormatGateValue(int32_t memoryType, bool isBit, uint32_t raw) {
    if (isBit) return std::to_string(raw);
    switch (memoryType) {
        case '2':
            return Printf("%u (0x%02X)", raw & 0xFFFFu, raw & 0xFFFFu);
        case '4':
            return Printf("%u (0x%04X)", raw & 0xFFFFu, raw & 0xFFFFu);
        case '8':
            return Printf("%d (0x%08X)", static_cast<int32_t>(raw), raw);
        case '9':
            return ShortestFloat(FloatFromBits(raw)) + Printf(" (0x%08X)", raw);
        default:
            return Printf("0x%08X", raw);
    }
}

uint32_t LoadSlot(const uint8_t* area, size_t offset, int width) {
    const int bytes = width / 8;
    uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | area[offset + i];
    return value;
}

void StoreSlot(uint8_t* area, size_t offset, int width, uint32_t value) {
    const int bytes = width / 8;
    for (int i = 0; i < bytes; ++i) area[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

int SlotWidth(int32_t memoryType) {
    return ItemBytes(memoryType) == 4 ? 32 : 16;
}

size_t SingleSlotOffset(int32_t memoryType) {
    return SlotWidth(memoryType) == 32 ? 0 : 2;
}

size_t BlockSlotOffset(int32_t memoryType, int32_t index) {
    return static_cast<size_t>(index) * static_cast<size_t>(SlotWidth(memoryType) / 8);
}

std::string Cp437ToUtf8(std::string_view text) {
    std::string out;
    for (char raw : text) {
        const auto c = static_cast<unsigned char>(raw);
        if (c == 0x08) continue;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            AppendUtf8(out, kCp437High[c - 0x80]);
        }
    }
    return out;
}

std::string HexBytes(const uint8_t* bytes, size_t count, size_t limit) {
    std::string out;
    for (size_t i = 0; i < count && i < limit; ++i) {
        if (i != 0) out += ' ';
        out += Printf("%02X", bytes[i]);
    }
    if (count > limit) out += " ...";
    return out;
}

size_t RequestDataBytes(const uint8_t* request) {
    const uint16_t start = Word(request + 2);
    const uint16_t end = Word(request + 4);
    const auto nibbles = static_cast<uint16_t>(end - start + 1);
    return nibbles / 2u;
}

std::string DescribeRequest(const uint8_t* request, size_t size, int32_t memoryType) {
    if (size < kHeaderBytes) return "(no request)";
    const uint8_t code = request[0];
    const uint16_t start = Word(request + 2);
    const uint16_t end = Word(request + 4);
    const size_t dataBytes = RequestDataBytes(request);
    const char* name = code == kReadCode ? "READ" : code == kWriteCode ? "WRITE" : "UNKNOWN";
    std::string out = Printf("%s (0x%02X), station %u, nibbles 0x%04X..0x%04X", name, code,
                             request[1], start, end);
    const int itemBytes = ItemBytes(memoryType);
    if (itemBytes != 0) {
        const size_t items = dataBytes / static_cast<size_t>(itemBytes);
        const unsigned firstItem = start / static_cast<unsigned>(itemBytes * 2);
        out += Printf(" = %zu item%s of '%c' from item %u", items, items == 1 ? "" : "s",
                      static_cast<char>(memoryType), firstItem);
    }
    if (code == kWriteCode) {
        const size_t shown = std::min(dataBytes, size - kHeaderBytes);
        out += ", data ";
        out += shown == 0 ? "none" : HexBytes(request + kHeaderBytes, shown);
    }
    return out;
}

std::string DescribeReply(const uint8_t* reply, size_t size, size_t dataBytes) {
    if (size < 4) return "(no reply)";
    switch (reply[0]) {
        case kDoneBlock:
            return "DONE (type 0)";
        case kErrorBlock:
            return Printf("ERROR (type 1), error code 0x%02X", reply[3]);
        case kDataBlock: {
            const size_t shown = std::min(dataBytes, size - 2);
            return Printf("DATA (type 3), %zu byte%s: ", shown, shown == 1 ? "" : "s") +
                   HexBytes(reply + 2, shown);
        }
        default:
            return Printf("UNKNOWN (type 0x%02X)", reply[0]);
    }
}

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (const char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned char>(c));
            out += buffer;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace vave8ctl
