// Reads, writes and flushing on a pseudo-terminal line.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <numeric>

#include "pty_pair.h"

namespace {

TEST(PortIoTest, EveryByteValuePassesBothWays) {
    OpenPort port;
    ASSERT_EQ(port.openResult, PORT_OK);
    std::vector<uint8_t> bytes(256);
    std::iota(bytes.begin(), bytes.end(), uint8_t{0});

    ASSERT_TRUE(port.pty.Send(bytes));
    std::vector<uint8_t> got(256);
    uint32_t count = 0;
    EXPECT_EQ(PortRead(port.handle, got.data(), 256, &count), PORT_OK);
    EXPECT_EQ(got, bytes);

    // Held back until the port is next read or flushed, in one piece.
    EXPECT_EQ(PortWrite(port.handle, bytes.data(), 256, &count), PORT_OK);
    EXPECT_EQ(count, 256u);
    EXPECT_TRUE(port.pty.Receive(1, 50).empty());
    EXPECT_EQ(PortFlushInput(port.handle), 0);
    EXPECT_EQ(port.pty.Receive(257, 500), bytes);  // nothing added either
}

TEST(PortIoTest, SilentLineFailsAfterTheLimitAndEmptyReadsAtOnce) {
    OpenPort port;
    ASSERT_EQ(port.openResult, PORT_OK);
    uint8_t byte = 0;
    uint32_t count = 99;
    for (const int32_t ticks : {5, 30}) {
        PortSetReadTimeout(port.handle, ticks);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(PortRead(port.handle, &byte, 1, &count), PORT_IO_FAILED);
        const int64_t elapsed = ElapsedMs(start);
        EXPECT_EQ(count, 0u);
        EXPECT_GE(elapsed, ticks * 10 - 1);
        EXPECT_LT(elapsed, ticks * 10 + 1500);
    }
    // A read of no bytes brings none, even with input waiting, and does not
    // wait out a limit.
    ASSERT_TRUE(port.pty.Send({1}));
    PortSetReadTimeout(port.handle, 300);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(PortRead(port.handle, &byte, 0, &count), PORT_IO_FAILED);
    EXPECT_LT(ElapsedMs(start), 1500);
}

// Each pass waits the full limit for what is still missing.
TEST(PortIoTest, ReadCollectsAcrossPasses) {
    for (const bool restFollows : {true, false}) {
        SCOPED_TRACE(restFollows);
        OpenPort port;
        ASSERT_EQ(port.openResult, PORT_OK);
        PortSetReadTimeout(port.handle, 100);  // the passes end near 1 s and 2 s
        ASSERT_TRUE(port.pty.Send({1, 2, 3, 4}));
        // Timed from before the far side's clock starts, so a late start of
        // the read cannot make the rest seem to come early.
        const auto start = std::chrono::steady_clock::now();
        std::thread rest([&] {
            if (!restFollows) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            port.pty.Send({5, 6, 7, 8, 9, 10});
        });
        uint8_t got[10] = {};
        uint32_t count = 0;
        EXPECT_EQ(PortRead(port.handle, got, 10, &count), restFollows ? PORT_OK : PORT_IO_FAILED);
        const int64_t elapsed = ElapsedMs(start);
        rest.join();
        EXPECT_EQ(count, restFollows ? 10u : 4u);
        for (uint32_t i = 0; i < count; ++i) EXPECT_EQ(got[i], i + 1);
        EXPECT_GE(elapsed, restFollows ? 1400 : 1990);
        EXPECT_LT(elapsed, 4000);
    }
}

// The frame layer reads a byte per call while bytes come in bursts: the
// read-ahead must neither lose nor repeat one.
TEST(PortIoTest, SmallReadsOfAStreamKeepEveryByteInOrder) {
    OpenPort port;
    ASSERT_EQ(port.openResult, PORT_OK);
    PortSetReadTimeout(port.handle, 200);
    constexpr size_t kTotal = 5000;
    auto expected = [](size_t i) { return static_cast<uint8_t>(i * 7 % 251); };
    std::thread writer([&] {
        for (size_t sent = 0, burst = 1; sent < kTotal; burst = burst % 700 + 37) {
            std::vector<uint8_t> chunk;
            for (; chunk.size() < burst && sent < kTotal; ++sent) chunk.push_back(expected(sent));
            port.pty.Send(chunk);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    size_t checked = 0;
    bool inOrder = true;
    for (uint32_t ask = 1; checked < kTotal && inOrder; ask = ask % 5 + 1) {
        uint8_t got[5] = {};
        uint32_t count = 0;
        const auto want = static_cast<uint32_t>(std::min<size_t>(ask, kTotal - checked));
        if (PortRead(port.handle, got, want, &count) != PORT_OK) break;
        for (uint32_t i = 0; i < count; ++i) inOrder = inOrder && got[i] == expected(checked++);
    }
    writer.join();
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(checked, kTotal);
}

// An unplugged adapter looks like this: reads fail at once instead of
// waiting out their limit or spinning.
TEST(PortIoTest, HangUpFailsPromptly) {
    OpenPort port;
    ASSERT_EQ(port.openResult, PORT_OK);
    PortSetReadTimeout(port.handle, 500);
    port.pty.CloseMaster();
    uint8_t byte = 0;
    uint32_t count = 99;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(PortRead(port.handle, &byte, 1, &count), PORT_IO_FAILED);
    EXPECT_EQ(count, 0u);
    // The write is held back; the flush that pushes it out fails, and so
    // does every write after it.
    EXPECT_EQ(PortWrite(port.handle, &byte, 1, &count), PORT_OK);
    EXPECT_EQ(PortFlushInput(port.handle), 1);
    EXPECT_EQ(PortWrite(port.handle, &byte, 1, &count), PORT_IO_FAILED);
    EXPECT_LT(ElapsedMs(start), 2000);
}

void IgnoreSignal(int) {}

TEST(PortIoTest, SignalsDoNotCutAWaitShort) {
    struct sigaction action {};
    struct sigaction saved {};
    action.sa_handler = IgnoreSignal;  // no SA_RESTART: poll returns EINTR
    ASSERT_EQ(sigaction(SIGUSR1, &action, &saved), 0);
    OpenPort port;
    ASSERT_EQ(port.openResult, PORT_OK);
    PortSetReadTimeout(port.handle, 60);

    const pthread_t reader = pthread_self();
    std::thread interrupter([reader] {
        for (int i = 0; i < 5; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            pthread_kill(reader, SIGUSR1);
        }
    });
    uint8_t byte = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(PortRead(port.handle, &byte, 1, nullptr), PORT_IO_FAILED);
    const int64_t elapsed = ElapsedMs(start);
    interrupter.join();
    sigaction(SIGUSR1, &saved, nullptr);
    EXPECT_GE(elapsed, 599);
    EXPECT_LT(elapsed, 2500);
}

// Whatever was waiting, in the device or already in the read-ahead, is gone
// afterwards, what was written before went out, and the read limit is what
// it was, "no limit" included. Bytes that reached the kernel a moment before
// the flush (a late reply), not yet handed to the port's side, go too.
TEST(PortFlushTest, DropsWaitingInputAndKeepsTheReadLimit) {
    const struct {
        int waiting;
        uint32_t readFirst;  // bytes read before the flush, filling the read-ahead
        int32_t ticks;
        bool justArrived = false;
    } cases[] = {{0, 0, 100},   {1, 0, 3},    {512, 0, 100},    {1300, 0, 0},
                 {1300, 0, 37}, {10, 1, 100}, {4, 0, 100, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.waiting);
        OpenPort port;
        ASSERT_EQ(port.openResult, PORT_OK);
        ASSERT_TRUE(port.pty.Send(std::vector<uint8_t>(c.waiting, 0x33)));
        if (!c.justArrived) {
            ASSERT_TRUE(port.pty.WaitQueued(c.waiting));
        }
        uint8_t byte = 0;
        if (c.readFirst != 0) {
            ASSERT_EQ(PortRead(port.handle, &byte, c.readFirst, nullptr), PORT_OK);
        }
        PortSetReadTimeout(port.handle, c.ticks);
        // Written before the flush: goes out, and is not taken for input.
        const uint8_t request = 0x5A;
        ASSERT_EQ(PortWrite(port.handle, &request, 1, nullptr), PORT_OK);

        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(PortFlushInput(port.handle), 0);
        EXPECT_LT(ElapsedMs(start), 1500);
        EXPECT_EQ(PortSetReadTimeout(port.handle, 100), c.ticks);
        EXPECT_EQ(port.pty.Receive(2, 300), std::vector<uint8_t>{request});

        ASSERT_TRUE(port.pty.Send({0xA5}));
        EXPECT_EQ(PortRead(port.handle, &byte, 1, nullptr), PORT_OK);
        EXPECT_EQ(byte, 0xA5);
    }
}

// A line still talking when the flush starts (the rest of a split late
// reply, another talker) is drained until it falls silent, so the request
// never goes out into a frame still arriving; a line that never falls silent
// holds the flush about a second, not for ever.
TEST(PortFlushTest, WaitsForTheLineToFallSilentWithinABound) {
    for (const int talkMs : {400, 4000}) {
        SCOPED_TRACE(talkMs);
        OpenPort port;
        ASSERT_EQ(port.openResult, PORT_OK);
        std::atomic<int> sent{0};
        std::atomic<bool> stop{false};
        const int bytes = talkMs / 10;
        std::thread talker([&] {
            for (int i = 0; i < bytes && !stop; ++i) {
                if (!port.pty.Send({0x33})) break;
                ++sent;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
        const auto begun = std::chrono::steady_clock::now();
        while (sent < 2 && ElapsedMs(begun) < 2000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(PortFlushInput(port.handle), 0);
        const int64_t elapsed = ElapsedMs(start);
        const int atReturn = sent;
        stop = true;
        talker.join();
        if (talkMs < 1000) {
            // Gaps of 10 ms against a 50 ms silence: only a talker stalled
            // for 50 ms could end it early, so allow for one such stall.
            EXPECT_GE(atReturn, bytes * 3 / 4);
            uint8_t byte = 0;
            ASSERT_TRUE(port.pty.Send({0xA5}));
            EXPECT_EQ(PortRead(port.handle, &byte, 1, nullptr), PORT_OK);
            EXPECT_EQ(byte, 0xA5);
        } else {
            EXPECT_GE(elapsed, 900);
            EXPECT_LT(elapsed, 2500);
            EXPECT_LT(atReturn, bytes);
        }
    }
}

}  // namespace

// Break and pause wait their full time, signals or not, on a line, on the
// null device and for a handle the module never gave out; the line works
// afterwards.
TEST(PortIoTest, BreakAndPauseWaitTheirTimeAndLeaveTheLineUsable) {
    struct sigaction action {};
    struct sigaction saved {};
    action.sa_handler = IgnoreSignal;
    ASSERT_EQ(sigaction(SIGUSR1, &action, &saved), 0);
    OpenPort port;
    ASSERT_EQ(port.openResult, PORT_OK);
    PortHandle null = kInvalidPortHandle;
    ASSERT_EQ(PortOpen("NUL", nullptr, 0, &null), PORT_OK);

    const pthread_t sleeper = pthread_self();
    std::thread interrupter([sleeper] {
        for (int i = 0; i < 4; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            pthread_kill(sleeper, SIGUSR1);
        }
    });
    const struct {
        const char* what;
        int32_t (*call)(PortHandle);
        PortHandle handle;
    } cases[] = {
        {"break on the line", [](PortHandle h) { return PortSendBreak(1100, h); }, port.handle},
        {"break on NUL", [](PortHandle h) { return PortSendBreak(40, h); }, null},
        {"break, unknown handle", [](PortHandle h) { return PortSendBreak(40, h); }, 0x7FFF0000u},
        {"pause", [](PortHandle) { return PortPause(40); }, 0},
        {"pause of 0", [](PortHandle) { return PortPause(0); }, 0},
        {"negative pause", [](PortHandle) { return PortPause(-5); }, 0},
    };
    const int64_t expected[] = {1100, 40, 40, 40, 0, 0};
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].what);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(cases[i].call(cases[i].handle), PORT_OK);
        const int64_t elapsed = ElapsedMs(start);
        EXPECT_GE(elapsed, expected[i] - 1);
        EXPECT_LT(elapsed, expected[i] + 1500);
    }
    interrupter.join();
    sigaction(SIGUSR1, &saved, nullptr);

    const uint8_t bytes[3] = {0xF1, 0x00, 0x59};
    uint32_t written = 0;
    EXPECT_EQ(PortWrite(port.handle, bytes, 3, &written), PORT_OK);
    EXPECT_EQ(PortSendBreak(0, port.handle), PORT_OK);
    EXPECT_EQ(port.pty.Receive(3, 1000), std::vector<uint8_t>(bytes, bytes + 3));
    EXPECT_EQ(PortClose(null), PORT_OK);
}
