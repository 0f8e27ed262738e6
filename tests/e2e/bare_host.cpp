// A minimal host: loads the driver by path and calls NuvMain twice. It links
// nothing but the C library, whose own err(3) is in the global scope before
// the driver arrives.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>

#include "driver/records.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bare_host MODULE global|local\n");
        return 64;
    }
    const int flags = RTLD_NOW | (std::strcmp(argv[2], "global") == 0 ? RTLD_GLOBAL : RTLD_LOCAL);
    void* module = dlopen(argv[1], flags);
    if (module == nullptr) {
        std::fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    using Entry = int32_t (*)(NuvCall*);
    auto nuvMain = reinterpret_cast<Entry>(dlsym(module, "NuvMain"));
    if (nuvMain == nullptr) return 1;

    NuvInfo info{};
    NuvCall call{};
    call.function = FN_GET_NUV_INFO;
    call.args = &info;
    // Without a sink, the service library writes each line to stderr.
    std::fflush(stdout);
    int calls = 0;
    for (; calls < 2; ++calls) {
        if (nuvMain(&call) != 0) return 1;
    }
    std::fprintf(stderr, "host still running after %d calls\n", calls);
    return 0;
}
