// The harnesses' stand-in for the host's log service.
//
// Defined in the harness program itself, so the driver's objects bind to it
// rather than to the service library. Every value is taken as its format's
// conversion says and every "%s" string is read in full, so one that is not
// terminated where it may be read is caught by the sanitizers; a format
// without the driver's prefix, a conversion no driver line uses, or a line
// longer than any host would keep fails. Formatting the text itself would
// cost a fuzz run more than the driver's own work and catch nothing more.
#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "tests/fuzz/harness.h"

namespace {

constexpr size_t kLongestLine = 1023;
constexpr size_t kMaxConversions = 8;
int g_lines = 0;

// A format taken apart: its text without the conversions, and each
// conversion with its width.
struct Format {
    const char* text = nullptr;  // the driver's literal; nullptr for a free slot
    bool usable = false;         // known prefix and conversions, not too many
    size_t literal = 0;
    size_t conversions = 0;
    char kind[kMaxConversions] = {};
    size_t width[kMaxConversions] = {};
};

// The driver's formats are literals and a run logs the same few dozen again
// and again, so each is taken apart once, the first time its address is
// seen; the values are checked on every line.
Format g_formats[64];

Format Parse(const char* text) {
    Format f;
    f.text = text;
    static constexpr char kPrefix[] = "VAVE8> ";
    if (std::strncmp(text, kPrefix, sizeof kPrefix - 1) != 0) return f;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p != '%') {
            ++f.literal;
            continue;
        }
        ++p;
        if (*p == '%') {
            ++f.literal;
            continue;
        }
        size_t width = 0;
        while (*p == '-' || *p == '0' || *p == ' ' || *p == '+' || *p == '#') ++p;
        while (*p >= '0' && *p <= '9') width = width * 10 + static_cast<size_t>(*p++ - '0');
        if (std::strchr("diuxXcs", *p) == nullptr || *p == '\0') return f;
        if (f.conversions == kMaxConversions) return f;
        f.kind[f.conversions] = *p;
        f.width[f.conversions++] = width;
    }
    f.usable = true;
    return f;
}

const Format& Lookup(const char* text) {
    Format& slot = g_formats[(reinterpret_cast<uintptr_t>(text) >> 3) % std::size(g_formats)];
    if (slot.text != text) slot = Parse(text);
    return slot;
}

size_t Digits(unsigned long value, unsigned base) {
    size_t n = 1;
    while (value >= base) {
        value /= base;
        ++n;
    }
    return n;
}

}  // namespace

namespace fuzz {

void ResetLog() {
    g_lines = 0;
}

int LogLines() {
    return g_lines;
}

}  // namespace fuzz

extern "C" int err(int level, const char* format, ...) {
    FUZZ_CHECK(level == 8 || level == 32);
    FUZZ_CHECK(format != nullptr);
    if (format == nullptr) return 0;
    const Format& f = Lookup(format);
    FUZZ_CHECK(f.usable);
    if (!f.usable) return 0;
    va_list args;
    va_start(args, format);
    size_t length = f.literal;
    for (size_t i = 0; i < f.conversions; ++i) {
        size_t size = 1;
        switch (f.kind[i]) {
            case 'd':
            case 'i': {
                const int v = va_arg(args, int);
                const unsigned long magnitude =
                    v < 0 ? 0ul - static_cast<unsigned long>(v) : static_cast<unsigned long>(v);
                size = Digits(magnitude, 10) + (v < 0 ? 1 : 0);
                break;
            }
            case 'u':
                size = Digits(va_arg(args, unsigned), 10);
                break;
            case 'x':
            case 'X':
                size = Digits(va_arg(args, unsigned), 16);
                break;
            case 's': {
                const char* text = va_arg(args, const char*);
                FUZZ_CHECK(text != nullptr);
                size = text != nullptr ? std::strlen(text) : 0;
                break;
            }
            default:  // 'c'
                (void)va_arg(args, int);
                break;
        }
        length += size > f.width[i] ? size : f.width[i];
    }
    va_end(args);
    // Every driver line is short; a longer one has run away.
    FUZZ_CHECK(length > 0 && length <= kLongestLine);
    ++g_lines;
    return static_cast<int>(length);
}
