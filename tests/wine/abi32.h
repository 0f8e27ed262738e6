// The 32-bit calling contract, seen from the host's side: NuvMain is called
// from hand-written code that compares the stack pointer before and after,
// and records are laid out and read back at their byte offsets rather than
// through the driver's own structs. Only the i386 build can check this: on
// 64-bit Windows there is one calling convention and the layouts differ.
#pragma once

#include <cstdint>
#include <cstring>

#include "check.h"
#include "driver/records.h"

namespace abi32 {

// Little-endian fields at byte offsets of a raw record.
inline void Put16(void* record, int offset, uint16_t v) {
    std::memcpy(static_cast<uint8_t*>(record) + offset, &v, 2);
}
inline void Put32(void* record, int offset, uint32_t v) {
    std::memcpy(static_cast<uint8_t*>(record) + offset, &v, 4);
}
inline uint32_t Get(const void* record, int offset, int width) {
    uint32_t v = 0;
    std::memcpy(&v, static_cast<const uint8_t*>(record) + offset, static_cast<size_t>(width));
    return v;
}

#if defined(__i386__)
constexpr bool kChecked = true;

// fn(arg) as a __stdcall callee must leave it: popping its 4-byte argument.
// Sets *drift to ESP after minus ESP before (0 when the callee popped it,
// -4 when it left the argument for the caller); ESP is restored either way.
inline int32_t CallStdcall(void* fn, void* arg, int32_t* drift) {
    int32_t result;
    int32_t moved;
    uint32_t saved;
    asm volatile(
        "movl %%esp, %%esi\n\t"
        "pushl %[arg]\n\t"
        "call *%[fn]\n\t"
        "movl %%esp, %%ecx\n\t"
        "subl %%esi, %%ecx\n\t"
        "movl %%esi, %%esp\n\t"
        : "=&a"(result), "=&c"(moved), "=&S"(saved)
        : [arg] "r"(arg), [fn] "r"(fn)
        : "edx", "memory", "cc");
    (void)saved;
    *drift = moved;
    return result;
}
#else
constexpr bool kChecked = false;
#endif

inline int& Calls() {
    static int calls = 0;
    return calls;
}

// NuvMain(call), on i386 through CallStdcall: a call that moves the stack
// pointer is a failure where it happens.
inline int32_t CallNuvMain(int32_t(VAVE8_API* nuvMain)(NuvCall*), void* call) {
#if defined(__i386__)
    int32_t drift = 0;
    const int32_t result = CallStdcall(reinterpret_cast<void*>(nuvMain), call, &drift);
    ++Calls();
    if (drift != 0) {
        check::Record(false, __FILE__, __LINE__,
                      "NuvMain moved the stack pointer by %d bytes (function %u)", drift,
                      static_cast<unsigned>(Get(call, 4, 4)));
    }
    return result;
#else
    return nuvMain(static_cast<NuvCall*>(call));
#endif
}

// One check for all the calls made: each failing call was already reported.
inline void CheckedCalls() {
    if (!kChecked) return;
    check::Record(Calls() > 0, __FILE__, __LINE__, "no NuvMain call went through the stack check");
    check::Note("the stack pointer was compared around %d calls of NuvMain", Calls());
}

struct Field {
    int offset;
    int width;  // 1, 2 or 4 bytes
    uint32_t want;
    const char* name;
};

// Each field at its offset, and every byte from `size` to `end` as `fill`.
template <int N>
void CheckFields(const char* record, const void* bytes, const Field (&fields)[N], int size, int end,
                 uint8_t fill, int line) {
    for (const Field& f : fields) {
        const uint32_t got = Get(bytes, f.offset, f.width);
        check::Record(got == f.want, __FILE__, line, "%s.%s at offset %d: got 0x%x, want 0x%x",
                      record, f.name, f.offset, got, f.want);
    }
    int spilled = 0;
    for (int i = size; i < end; ++i) spilled += static_cast<const uint8_t*>(bytes)[i] != fill;
    check::Record(spilled == 0, __FILE__, line, "%d bytes written past the %d bytes of %s", spilled,
                  size, record);
}

}  // namespace abi32
