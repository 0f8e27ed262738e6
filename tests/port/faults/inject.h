// Chosen C library calls on a chosen descriptor fail or misbehave on purpose.
//
// The test program defines read, write, poll, ioctl, tcgetattr, tcsetattr,
// flock and close itself (inject.c); the port backend linked into it binds
// these, and each forwards to the C library's own unless an armed fault says
// otherwise. Faults apply only to the armed descriptor (or to any, for
// faults armed before the port exists), so the simulated PLC's thread and
// the test framework go untouched.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

enum InjectCall {
    INJECT_READ,
    INJECT_WRITE,
    INJECT_POLL,
    INJECT_IOCTL,
    INJECT_TCGETATTR,
    INJECT_TCSETATTR,
    INJECT_FLOCK,
    INJECT_CLOSE,
};

enum InjectHow {
    INJECT_ERRNO,    // fail with errno `value`; 0: report success (0 bytes) instead.
                     // Either way the call itself is not made
    INJECT_SHORT,    // read or write: at most `value` bytes
    INJECT_REVENTS,  // poll: ready at once with revents `value`
};

struct InjectFault {
    int call;  // InjectCall
    int how;   // InjectHow
    int value;
    int skip;               // matching calls passed through before the first fault
    int times;              // faulty calls then; -1: every later one
    int alternate;          // 1: only every other matching call (the first included)
    unsigned long request;  // ioctl: only this request; 0: any
};

// Arms up to 8 faults on descriptor `fd` (-1: any descriptor), replacing
// what was armed. Counts restart.
void InjectArm(int fd, const struct InjectFault* faults, int count);
void InjectDisarm(void);
// Faulty calls made since the last arming.
int InjectHits(void);

// The ioctl requests for arbitrary rates (kernel_requests.c).
extern const unsigned long kInjectTcgets2;
extern const unsigned long kInjectTcsets2;

#ifdef __cplusplus
}
#endif
