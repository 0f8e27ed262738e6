// Counting what the code under measurement asks of the heap and the kernel.
//
// The benchmark replaces malloc and its relatives, operator new and delete,
// and the read, write, poll and select wrappers of the C library (the
// executable exports them, so the driver module and libmodbus bind to these
// copies). Every replacement forwards to the C library at once; it counts
// only while the calling thread is inside a CountingScope, which the
// benchmark opens around each NuvMain call and each libmodbus request, and
// nowhere else.
#pragma once

#include <cstdint>

namespace bench {

struct CallCounts {
    uint64_t allocations = 0;  // malloc, calloc, realloc and the aligned forms
    uint64_t frees = 0;
    uint64_t news = 0;  // operator new; each is also one malloc above
    uint64_t reads = 0;
    uint64_t writes = 0;
    uint64_t polls = 0;
    uint64_t selects = 0;
    uint64_t bytesRead = 0;     // what read() delivered
    uint64_t bytesWritten = 0;  // what write() took

    uint64_t HeapCalls() const { return allocations + frees; }
    uint64_t SystemCalls() const { return reads + writes + polls + selects; }
};

CallCounts operator-(const CallCounts& later, const CallCounts& earlier);
CallCounts& operator+=(CallCounts& sum, const CallCounts& more);

// The totals counted so far, over the whole process.
CallCounts CountedSoFar();

// Counting is on for this thread while one of these lives; scopes nest.
class CountingScope {
public:
    CountingScope();
    ~CountingScope();
    CountingScope(const CountingScope&) = delete;
    CountingScope& operator=(const CountingScope&) = delete;

private:
    bool outer_;
};

}  // namespace bench
