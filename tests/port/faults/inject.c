// The C library's calls as the port backend sees them in the fault test:
// forwarded to the real ones unless an armed fault applies.
#define _GNU_SOURCE
#include "inject.h"

#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

enum { kMaxFaults = 8 };

struct Armed {
    struct InjectFault fault;
    int seen;
    int fired;
};

static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static struct Armed g_armed[kMaxFaults];
static int g_count;
static int g_fd = -2;  // -2: nothing armed
static int g_hits;

void InjectArm(int fd, const struct InjectFault* faults, int count) {
    pthread_mutex_lock(&g_lock);
    g_count = count < kMaxFaults ? count : kMaxFaults;
    for (int i = 0; i < g_count; ++i) {
        g_armed[i].fault = faults[i];
        g_armed[i].seen = 0;
        g_armed[i].fired = 0;
    }
    g_hits = 0;
    g_fd = fd;
    pthread_mutex_unlock(&g_lock);
}

void InjectDisarm(void) {
    pthread_mutex_lock(&g_lock);
    g_fd = -2;
    g_count = 0;
    pthread_mutex_unlock(&g_lock);
}

int InjectHits(void) {
    pthread_mutex_lock(&g_lock);
    const int hits = g_hits;
    pthread_mutex_unlock(&g_lock);
    return hits;
}

// The fault that applies to this call, copied out, or 0. Every armed fault
// of the call's kind counts the call.
static int Take(int call, int fd, unsigned long request, struct InjectFault* out) {
    if (__atomic_load_n(&g_fd, __ATOMIC_RELAXED) == -2) return 0;
    int found = 0;
    pthread_mutex_lock(&g_lock);
    if (g_fd == -1 || g_fd == fd) {
        for (int i = 0; i < g_count; ++i) {
            struct Armed* a = &g_armed[i];
            if (a->fault.call != call) continue;
            if (call == INJECT_IOCTL && a->fault.request != 0 && a->fault.request != request) {
                continue;
            }
            const int n = a->seen++;
            if (found || n < a->fault.skip) continue;
            if (a->fault.alternate && (n - a->fault.skip) % 2 != 0) continue;
            if (a->fault.times >= 0 && a->fired >= a->fault.times) continue;
            a->fired++;
            *out = a->fault;
            found = 1;
        }
    }
    if (found) g_hits++;
    pthread_mutex_unlock(&g_lock);
    return found;
}

// What a call that is not made reports: failure with `error`, or success.
static int Refuse(int error) {
    if (error == 0) return 0;
    errno = error;
    return -1;
}

// The C library's own function, looked up once; threads that race here all
// store the same pointer.
static void* Real(void** slot, const char* name) {
    void* function = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
    if (function == 0) {
        function = dlsym(RTLD_NEXT, name);
        __atomic_store_n(slot, function, __ATOMIC_RELEASE);
    }
    return function;
}

ssize_t read(int fd, void* buffer, size_t count) {
    static void* slot;
    ssize_t (*real)(int, void*, size_t) = (ssize_t(*)(int, void*, size_t))Real(&slot, "read");
    struct InjectFault f;
    if (Take(INJECT_READ, fd, 0, &f)) {
        if (f.how == INJECT_SHORT) {
            return real(fd, buffer, count < (size_t)f.value ? count : (size_t)f.value);
        }
        return Refuse(f.value);
    }
    return real(fd, buffer, count);
}

ssize_t write(int fd, const void* buffer, size_t count) {
    static void* slot;
    ssize_t (*real)(int, const void*, size_t) =
        (ssize_t(*)(int, const void*, size_t))Real(&slot, "write");
    struct InjectFault f;
    if (Take(INJECT_WRITE, fd, 0, &f)) {
        if (f.how == INJECT_SHORT) {
            return real(fd, buffer, count < (size_t)f.value ? count : (size_t)f.value);
        }
        return Refuse(f.value);
    }
    return real(fd, buffer, count);
}

int poll(struct pollfd* fds, nfds_t count, int timeout) {
    static void* slot;
    int (*real)(struct pollfd*, nfds_t, int) =
        (int (*)(struct pollfd*, nfds_t, int))Real(&slot, "poll");
    struct InjectFault f;
    if (count == 1 && Take(INJECT_POLL, fds[0].fd, 0, &f)) {
        if (f.how == INJECT_REVENTS) {
            fds[0].revents = (short)f.value;
            return 1;
        }
        return Refuse(f.value);
    }
    return real(fds, count, timeout);
}

int ioctl(int fd, unsigned long request, ...) {
    static void* slot;
    int (*real)(int, unsigned long, ...) = (int (*)(int, unsigned long, ...))Real(&slot, "ioctl");
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    struct InjectFault f;
    if (Take(INJECT_IOCTL, fd, request, &f)) {
        return Refuse(f.value);
    }
    return real(fd, request, argument);
}

int tcgetattr(int fd, struct termios* tio) {
    static void* slot;
    int (*real)(int, struct termios*) = (int (*)(int, struct termios*))Real(&slot, "tcgetattr");
    struct InjectFault f;
    if (Take(INJECT_TCGETATTR, fd, 0, &f)) {
        return Refuse(f.value);
    }
    return real(fd, tio);
}

int tcsetattr(int fd, int when, const struct termios* tio) {
    static void* slot;
    int (*real)(int, int, const struct termios*) =
        (int (*)(int, int, const struct termios*))Real(&slot, "tcsetattr");
    struct InjectFault f;
    if (Take(INJECT_TCSETATTR, fd, 0, &f)) {
        return Refuse(f.value);
    }
    return real(fd, when, tio);
}

int flock(int fd, int operation) {
    static void* slot;
    int (*real)(int, int) = (int (*)(int, int))Real(&slot, "flock");
    struct InjectFault f;
    if (Take(INJECT_FLOCK, fd, 0, &f)) {
        return Refuse(f.value);
    }
    return real(fd, operation);
}

// A close that fails has still released the descriptor, as on Linux.
int close(int fd) {
    static void* slot;
    int (*real)(int) = (int (*)(int))Real(&slot, "close");
    struct InjectFault f;
    if (Take(INJECT_CLOSE, fd, 0, &f)) {
        real(fd);
        return Refuse(f.value);
    }
    return real(fd);
}
