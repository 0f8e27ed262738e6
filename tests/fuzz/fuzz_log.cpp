// The harnesses' stand-in for the host's log service.
//
// Defined in the harness program itself, so the driver's objects bind to it
// rather than to the service library. Every line is formatted in full into a
// fixed buffer: a "%s" given something that is not a string, or a value the
// format does not expect, is then read by vsnprintf and caught by the
// sanitizers instead of going unnoticed in a sink that drops lines.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "tests/fuzz/harness.h"

namespace {

int g_lines = 0;
char g_line[1024];

}  // namespace

namespace fuzz {

void ResetLog() {
    g_lines = 0;
    g_line[0] = '\0';
}

int LogLines() {
    return g_lines;
}

}  // namespace fuzz

extern "C" int err(int level, const char* format, ...) {
    FUZZ_CHECK(level == 8 || level == 32);
    FUZZ_CHECK(format != nullptr && std::strncmp(format, "VAVE8> ", 7) == 0);
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(g_line, sizeof g_line, format, args);
    va_end(args);
    // Every driver line is short; one that fills the buffer has run away.
    FUZZ_CHECK(length > 0 && static_cast<size_t>(length) < sizeof g_line);
    ++g_lines;
    return length;
}
