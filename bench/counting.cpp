#include "bench/counting.h"

#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <sys/select.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <new>

// glibc's own allocator under its internal names: the replacements below
// forward here, so every block still comes from and goes back to one heap.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void __libc_free(void* block);
void* __libc_memalign(size_t alignment, size_t size);
}

namespace {

// Only the benchmark's main thread measures; the counts need no atomics.
bench::CallCounts g_counts;
thread_local bool t_counting = false;

template <typename Fn>
Fn Next(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

using ReadFn = ssize_t (*)(int, void*, size_t);
using WriteFn = ssize_t (*)(int, const void*, size_t);
using PollFn = int (*)(pollfd*, nfds_t, int);
using SelectFn = int (*)(int, fd_set*, fd_set*, fd_set*, timeval*);

bool ValidAlignment(size_t alignment) {
    return alignment != 0 && (alignment & (alignment - 1)) == 0;
}

}  // namespace

namespace bench {

CallCounts operator-(const CallCounts& later, const CallCounts& earlier) {
    CallCounts d;
    d.allocations = later.allocations - earlier.allocations;
    d.frees = later.frees - earlier.frees;
    d.news = later.news - earlier.news;
    d.reads = later.reads - earlier.reads;
    d.writes = later.writes - earlier.writes;
    d.polls = later.polls - earlier.polls;
    d.selects = later.selects - earlier.selects;
    d.bytesRead = later.bytesRead - earlier.bytesRead;
    d.bytesWritten = later.bytesWritten - earlier.bytesWritten;
    return d;
}

CallCounts& operator+=(CallCounts& sum, const CallCounts& more) {
    sum.allocations += more.allocations;
    sum.frees += more.frees;
    sum.news += more.news;
    sum.reads += more.reads;
    sum.writes += more.writes;
    sum.polls += more.polls;
    sum.selects += more.selects;
    sum.bytesRead += more.bytesRead;
    sum.bytesWritten += more.bytesWritten;
    return sum;
}

CallCounts CountedSoFar() {
    return g_counts;
}

CountingScope::CountingScope() : outer_(t_counting) {
    t_counting = true;
}

CountingScope::~CountingScope() {
    t_counting = outer_;
}

}  // namespace bench

// --- the heap -----------------------------------------------------------

extern "C" void* malloc(size_t size) {
    if (t_counting) ++g_counts.allocations;
    return __libc_malloc(size);
}

extern "C" void* calloc(size_t count, size_t size) {
    if (t_counting) ++g_counts.allocations;
    return __libc_calloc(count, size);
}

extern "C" void* realloc(void* block, size_t size) {
    if (t_counting) ++g_counts.allocations;
    return __libc_realloc(block, size);
}

extern "C" void free(void* block) {
    if (t_counting && block != nullptr) ++g_counts.frees;
    __libc_free(block);
}

extern "C" void* memalign(size_t alignment, size_t size) {
    if (t_counting) ++g_counts.allocations;
    return __libc_memalign(alignment, size);
}

extern "C" void* aligned_alloc(size_t alignment, size_t size) {
    if (t_counting) ++g_counts.allocations;
    if (!ValidAlignment(alignment)) {
        errno = EINVAL;
        return nullptr;
    }
    return __libc_memalign(alignment, size);
}

extern "C" int posix_memalign(void** out, size_t alignment, size_t size) {
    if (t_counting) ++g_counts.allocations;
    if (!ValidAlignment(alignment) || alignment % sizeof(void*) != 0) return EINVAL;
    void* block = __libc_memalign(alignment, size);
    if (block == nullptr) return ENOMEM;
    *out = block;
    return 0;
}

void* operator new(size_t size) {
    if (t_counting) ++g_counts.news;
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

void* operator new[](size_t size) {
    return operator new(size);
}

void* operator new(size_t size, const std::nothrow_t&) noexcept {
    if (t_counting) ++g_counts.news;
    return std::malloc(size == 0 ? 1 : size);
}

void* operator new[](size_t size, const std::nothrow_t& tag) noexcept {
    return operator new(size, tag);
}

void operator delete(void* block) noexcept {
    std::free(block);
}

void operator delete[](void* block) noexcept {
    std::free(block);
}

void operator delete(void* block, size_t) noexcept {
    std::free(block);
}

void operator delete[](void* block, size_t) noexcept {
    std::free(block);
}

// --- the kernel ---------------------------------------------------------

extern "C" ssize_t read(int fd, void* buffer, size_t count) {
    static const ReadFn next = Next<ReadFn>("read");
    const ssize_t got = next(fd, buffer, count);
    if (t_counting) {
        ++g_counts.reads;
        if (got > 0) g_counts.bytesRead += static_cast<uint64_t>(got);
    }
    return got;
}

extern "C" ssize_t write(int fd, const void* buffer, size_t count) {
    static const WriteFn next = Next<WriteFn>("write");
    const ssize_t took = next(fd, buffer, count);
    if (t_counting) {
        ++g_counts.writes;
        if (took > 0) g_counts.bytesWritten += static_cast<uint64_t>(took);
    }
    return took;
}

extern "C" int poll(pollfd* fds, nfds_t count, int timeoutMs) {
    static const PollFn next = Next<PollFn>("poll");
    if (t_counting) ++g_counts.polls;
    return next(fds, count, timeoutMs);
}

extern "C" int select(int count, fd_set* in, fd_set* out, fd_set* failed, timeval* timeout) {
    static const SelectFn next = Next<SelectFn>("select");
    if (t_counting) ++g_counts.selects;
    return next(count, in, out, failed, timeout);
}
