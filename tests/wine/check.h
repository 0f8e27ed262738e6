// A small check harness for the Windows test programs (no test framework on
// that side): counts checks, prints each failure with where it happened and
// the values it saw, and ends with "wine: N passed, M failed".
#pragma once

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace check {

struct Tally {
    int passed = 0;
    int failed = 0;
    int skipped = 0;
    char context[160] = "";
};

inline Tally& State() {
    static Tally tally;
    return tally;
}

// Names what the following checks are about; printed with each failure.
inline void Context(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(State().context, sizeof State().context, format, args);
    va_end(args);
}

inline bool Record(bool ok, const char* file, int line, const char* format, ...) {
    Tally& t = State();
    if (ok) {
        ++t.passed;
        return true;
    }
    ++t.failed;
    std::printf("FAIL %s:%d [%s] ", file, line, t.context);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
    std::fflush(stdout);
    return false;
}

// A check that cannot be made here, with the reason; counted apart.
inline void Skip(const char* format, ...) {
    ++State().skipped;
    std::printf("SKIP [%s] ", State().context);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
    std::fflush(stdout);
}

inline void Note(const char* format, ...) {
    std::printf("NOTE ");
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
    std::fflush(stdout);
}

inline int Finish() {
    const Tally& t = State();
    if (t.skipped > 0) {
        std::printf("wine: %d passed, %d failed, %d skipped\n", t.passed, t.failed, t.skipped);
    } else {
        std::printf("wine: %d passed, %d failed\n", t.passed, t.failed);
    }
    std::fflush(stdout);
    return t.failed == 0 ? 0 : 1;
}

// Wine answers to this ntdll export; Windows has no such function.
inline bool UnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace check

#define CHECK(cond) check::Record((cond), __FILE__, __LINE__, "%s", #cond)

// Integral values of any width, shown in decimal and hex.
#define CHECK_EQ(actual, expected)                                                          \
    do {                                                                                    \
        const long long check_a_ = static_cast<long long>(actual);                         \
        const long long check_e_ = static_cast<long long>(expected);                       \
        check::Record(check_a_ == check_e_, __FILE__, __LINE__, "%s == %s: got %lld (0x%llx), want %lld", \
                      #actual, #expected, check_a_, check_a_, check_e_);                    \
    } while (0)

#define CHECK_STR(actual, expected)                                                         \
    do {                                                                                    \
        const char* check_a_ = (actual);                                                    \
        const char* check_e_ = (expected);                                                  \
        check::Record(check_a_ != nullptr && std::strcmp(check_a_, check_e_) == 0, __FILE__, \
                      __LINE__, "%s: got \"%s\", want \"%s\"", #actual,                      \
                      check_a_ ? check_a_ : "(null)", check_e_);                             \
    } while (0)
