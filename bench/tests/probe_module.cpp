// A module loaded at run time, as the driver is: what it asks of the heap
// and the kernel must reach the benchmark's counters.
#include <unistd.h>

#include <cstdlib>

namespace {
// Stores to a volatile keep the compiler from pairing the calls away.
void* volatile g_block = nullptr;
int* volatile g_object = nullptr;
}  // namespace

extern "C" __attribute__((visibility("default"))) int ProbeHeap() {
    g_block = std::malloc(16);
    std::free(g_block);
    g_object = new int(7);
    delete g_object;
    return 0;
}

extern "C" __attribute__((visibility("default"))) long ProbeWrite(int fd, int count) {
    const char bytes[4] = {'a', 'b', 'c', 'd'};
    return static_cast<long>(write(fd, bytes, static_cast<size_t>(count)));
}
