// The harnesses' stand-in for the host's log service.
//
// Defined in the harness program itself, so the driver's objects bind to it
// rather than to the service library. Every line's format is walked and each
// value taken as its conversion says: a "%s" whose string is not terminated
// where it may be read is then read past its end and caught by the
// sanitizers, a conversion no driver line uses fails, and so does a line
// longer than any host would keep. Formatting the text itself would cost a
// fuzz run more than the driver's own work and catch nothing more.
#include <cstdarg>
#include <cstring>

#include "tests/fuzz/harness.h"

namespace {

constexpr size_t kLongestLine = 1023;
int g_lines = 0;

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

// Walks each format once, byte by byte: the driver logs on every failed
// attempt, and library calls per line cost more than the walk.
extern "C" FUZZ_BYTE_LOOP int err(int level, const char* format, ...) {
    FUZZ_CHECK(level == 8 || level == 32);
    static constexpr char kPrefix[] = "VAVE8> ";
    bool prefixed = format != nullptr;
    for (size_t i = 0; prefixed && i + 1 < sizeof kPrefix; ++i) prefixed = format[i] == kPrefix[i];
    FUZZ_CHECK(prefixed);
    if (!prefixed) return 0;
    va_list args;
    va_start(args, format);
    size_t length = 0;
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            ++length;
            continue;
        }
        ++p;
        size_t width = 0;
        while (*p == '-' || *p == '0' || *p == ' ' || *p == '+' || *p == '#') ++p;
        while (*p >= '0' && *p <= '9') width = width * 10 + static_cast<size_t>(*p++ - '0');
        size_t size = 0;
        switch (*p) {
            case '%':
                size = 1;
                break;
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
            case 'c':
                (void)va_arg(args, int);
                size = 1;
                break;
            case 's': {
                const char* text = va_arg(args, const char*);
                FUZZ_CHECK(text != nullptr);
                size = text != nullptr ? std::strlen(text) : 0;
                break;
            }
            default: {
                const bool conversionKnown = false;  // no driver line uses it
                FUZZ_CHECK(conversionKnown);
                va_end(args);
                return 0;
            }
        }
        length += size > width ? size : width;
    }
    va_end(args);
    // Every driver line is short; a longer one has run away.
    FUZZ_CHECK(length > 0 && length <= kLongestLine);
    ++g_lines;
    return static_cast<int>(length);
}
