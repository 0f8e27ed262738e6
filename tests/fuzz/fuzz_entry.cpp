// The libFuzzer entry of one harness program; the build names the harness
// with VAVE8_FUZZ_HARNESS.
#include <cstdio>
#include <cstdlib>

#include "tests/fuzz/harness.h"

void fuzz::Fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what);
    std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return VAVE8_FUZZ_HARNESS(data, size);
}
