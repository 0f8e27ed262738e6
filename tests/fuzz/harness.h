// What the fuzz harnesses share: their entry points, the invariant check,
// the log they write to, an input reader and guarded memory.
//
// Each harness is an ordinary function over one input. The libFuzzer
// programs (fuzz_entry.cpp) call one of them from LLVMFuzzerTestOneInput;
// the replay test (replay_test.cpp) calls all three over the committed
// corpus, so every build runs the corpus like any other test.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace fuzz {

int FrameOne(const uint8_t* data, size_t size);
int AddressOne(const uint8_t* data, size_t size);
int TransferOne(const uint8_t* data, size_t size);

// A broken invariant. The fuzzer programs abort, so libFuzzer keeps the
// input as a crash; the replay test records a failure and carries on.
void Fail(const char* what, const char* file, int line);

// For the harnesses' own loops over bytes (checks, comparisons, fills):
// UBSan's pointer checks in every pass cost more than the pass, and these
// loops index only the harness's own fixed buffers (AddressSanitizer still
// checks their reads and writes).
#if defined(__clang__)
#define FUZZ_BYTE_LOOP __attribute__((no_sanitize("undefined"), noinline))
#else
#define FUZZ_BYTE_LOOP
#endif

#define FUZZ_CHECK(cond)                                      \
    do {                                                      \
        if (!(cond)) ::fuzz::Fail(#cond, __FILE__, __LINE__); \
    } while (0)

// The harnesses' own `err` (fuzz_log.cpp) formats every line in full, so a
// format whose values do not match it shows up under the sanitizers, and
// counts the lines since the last ResetLog().
void ResetLog();
int LogLines();

// Takes the input from the front; once it is used up every read gives 0.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    bool Empty() const { return p_ == end_; }
    size_t Left() const { return static_cast<size_t>(end_ - p_); }
    uint8_t Byte() { return p_ == end_ ? 0 : *p_++; }
    int8_t Signed8() { return static_cast<int8_t>(Byte()); }
    uint16_t U16() {
        const uint16_t low = Byte();
        return static_cast<uint16_t>(low | Byte() << 8);
    }
    int32_t I32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(Byte()) << (8 * i);
        return static_cast<int32_t>(v);
    }
    // Up to `n` bytes; `*got` tells how many there were.
    const uint8_t* Take(size_t n, size_t* got) {
        *got = n < Left() ? n : Left();
        const uint8_t* at = p_;
        p_ += *got;
        return at;
    }

private:
    const uint8_t* p_;
    const uint8_t* end_;
};

// Byte i is key ^ i: a pattern no stray write is likely to repeat.
template <size_t N>
constexpr std::array<uint8_t, N> KeyedBytes(uint8_t key) {
    std::array<uint8_t, N> band{};
    for (size_t i = 0; i < N; ++i) band[i] = static_cast<uint8_t>(key ^ i);
    return band;
}

// A region of N bytes between two guard bands of a fixed pattern. Anything
// written past either end of the region shows as a changed guard.
template <size_t N>
struct Guarded {
    static constexpr size_t kBand = 64;
    std::array<uint8_t, kBand> before;
    alignas(8) std::array<uint8_t, N> body;
    std::array<uint8_t, kBand> after;

    void Arm() {
        before = kBefore;
        after = kAfter;
    }
    bool Intact() const { return before == kBefore && after == kAfter; }

private:
    static constexpr std::array<uint8_t, kBand> kBefore = KeyedBytes<kBand>(0xB0);
    static constexpr std::array<uint8_t, kBand> kAfter = KeyedBytes<kBand>(0xA0);
};

}  // namespace fuzz
