/* Preloaded into 32-bit Wine processes that run under qemu-user emulation.
 *
 * qemu-user leaves -1 in the trap-number slot of the signal context it hands
 * to a 32-bit process. Wine's 32-bit fault handler decides on that number, so
 * an access violation would reach Windows code as an illegal instruction and
 * structured exception handling would break. This library wraps sigaction:
 * for the fault signals it installs its own handler, which puts in the number
 * a real kernel would give (only where the slot holds -1) and then calls the
 * handler the program asked for.
 *
 * Built without a C library (gcc -m32 -shared -nostdlib -ffreestanding); the
 * real work is done by the C library's __sigaction, which the process has
 * loaded anyway and which is a different name for the same function.
 */

#define SIGILL 4
#define SIGTRAP 5
#define SIGBUS 7
#define SIGFPE 8
#define SIGSEGV 11
#define SA_SIGINFO 4
#define SIG_DFL ((void*)0)
#define SIG_IGN ((void*)1)

#define SI_KERNEL 0x80
#define BUS_ADRALN 1
#define FPE_INTDIV 1
#define FPE_INTOVF 2
#define TRAP_TRACE 2

/* The x86 exception vectors. */
#define TRAP_DIVIDE 0
#define TRAP_DEBUG 1
#define TRAP_BREAKPOINT 3
#define TRAP_OVERFLOW 4
#define TRAP_INVALID_OPCODE 6
#define TRAP_GENERAL_PROTECTION 13
#define TRAP_PAGE_FAULT 14
#define TRAP_X87 16
#define TRAP_ALIGNMENT 17

/* The i386 C library's struct sigaction. */
struct user_sigaction {
    void* handler;
    unsigned long mask[32];
    int flags;
    void (*restorer)(void);
};

struct user_siginfo {
    int signo;
    int error;
    int code;
};

/* ucontext_t: flags, link, the stack record (3 words), then the registers. */
#define UC_GREGS_WORD 5
#define REG_TRAPNO 12

extern int __sigaction(int sig, const struct user_sigaction* act, struct user_sigaction* old);

typedef void (*info_handler)(int, struct user_siginfo*, void*);
typedef void (*plain_handler)(int);

static struct {
    void* handler;
    int flags;
} wanted[32];

static int is_fault_signal(int sig) {
    return sig == SIGSEGV || sig == SIGBUS || sig == SIGILL || sig == SIGFPE || sig == SIGTRAP;
}

static int trap_number(int sig, int code) {
    switch (sig) {
        case SIGSEGV:
            return code == SI_KERNEL ? TRAP_GENERAL_PROTECTION : TRAP_PAGE_FAULT;
        case SIGBUS:
            return code == BUS_ADRALN ? TRAP_ALIGNMENT : TRAP_PAGE_FAULT;
        case SIGILL:
            return TRAP_INVALID_OPCODE;
        case SIGFPE:
            return code == FPE_INTDIV ? TRAP_DIVIDE : code == FPE_INTOVF ? TRAP_OVERFLOW : TRAP_X87;
        default: /* SIGTRAP */
            return code == TRAP_TRACE ? TRAP_DEBUG : TRAP_BREAKPOINT;
    }
}

static void mend(int sig, struct user_siginfo* info, void* context) {
    long* trapno = (long*)context + UC_GREGS_WORD + REG_TRAPNO;
    if (context != 0 && *trapno == -1) *trapno = trap_number(sig, info != 0 ? info->code : 0);
    if (wanted[sig].flags & SA_SIGINFO) {
        ((info_handler)wanted[sig].handler)(sig, info, context);
    } else {
        ((plain_handler)wanted[sig].handler)(sig);
    }
}

__attribute__((visibility("default"))) int sigaction(int sig, const struct user_sigaction* act,
                                                     struct user_sigaction* old) {
    if (sig <= 0 || sig >= 32 || !is_fault_signal(sig)) return __sigaction(sig, act, old);
    struct user_sigaction mine;
    const struct user_sigaction* pass = act;
    if (act != 0 && act->handler != SIG_DFL && act->handler != SIG_IGN) {
        mine = *act;
        mine.handler = (void*)mend;
        mine.flags |= SA_SIGINFO;
        pass = &mine;
    }
    /* Recorded before the wrapper can run, restored if the call fails. */
    void* prior_handler = wanted[sig].handler;
    int prior_flags = wanted[sig].flags;
    if (pass == &mine) {
        wanted[sig].handler = act->handler;
        wanted[sig].flags = act->flags;
    }
    int rc = __sigaction(sig, pass, old);
    if (rc != 0) {
        wanted[sig].handler = prior_handler;
        wanted[sig].flags = prior_flags;
        return rc;
    }
    /* The caller sees its own handler, never the wrapper. */
    if (old != 0 && old->handler == (void*)mend) {
        old->handler = prior_handler;
        old->flags = (old->flags & ~SA_SIGINFO) | (prior_flags & SA_SIGINFO);
    }
    return 0;
}
