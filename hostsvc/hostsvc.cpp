#include "hostsvc/hostsvc.h"

#include <cstdarg>
#include <cstdio>

namespace {
hostsvc_sink g_sink = nullptr;
void* g_context = nullptr;
}  // namespace

extern "C" HOSTSVC_API void hostsvc_set_sink(hostsvc_sink sink, void* context) {
    g_sink = sink;
    g_context = context;
}

extern "C" HOSTSVC_API int err(int level, const char* format, ...) {
    // Driver lines are short; a longer one is cut, never overrun.
    char line[1024];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (length < 0) line[0] = '\0';
    if (g_sink != nullptr) {
        g_sink(g_context, level, line);
    } else {
        std::fprintf(stderr, "[%d] %s\n", level, line);
    }
    return length;
}
