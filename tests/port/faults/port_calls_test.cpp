// The port operations called directly with C library calls failing under
// them: opens whose settings cannot be made or do not hold, writes longer
// than the write-behind, held-back output that fails at a break or a close,
// and reads that break off.
#include <errno.h>
#include <gtest/gtest.h>
#include <termios.h>

#include <functional>
#include <numeric>
#include <string>

#include "inject.h"
#include "port/pty_pair.h"

namespace {

InjectFault Ioctl(unsigned long request, int error, int skip = 0) {
    return InjectFault{INJECT_IOCTL, INJECT_ERRNO, error, skip, 1, 0, request};
}
InjectFault Call(int call, int how, int value, int skip = 0, int times = 1) {
    return InjectFault{call, how, value, skip, times, 0, 0};
}

struct OpenCase {
    const char* name;
    std::vector<InjectFault> faults;
    LineParams line;
    uint16_t flags;
    int32_t result;
    // Settings the slave is left with before the open, from raw.
    std::function<void(termios&)> before;
    bool noLine = false;
};

constexpr LineParams kOddRate{12345, 8, 0, 2};
const InjectFault kSetButKeep = Call(INJECT_TCSETATTR, INJECT_ERRNO, 0);

// clang-format off
const OpenCase kOpens[] = {
    {"custom_rate_unreadable", {Ioctl(kInjectTcgets2, EIO)}, kOddRate, kDriverFlags, PORT_SET_FAILED, nullptr},
    {"custom_rate_refused", {Ioctl(kInjectTcsets2, EINVAL)}, kOddRate, kDriverFlags, PORT_SET_FAILED, nullptr},
    {"custom_rate_not_read_back", {Ioctl(kInjectTcgets2, EIO, 1)}, kOddRate, kDriverFlags, PORT_SET_FAILED, nullptr},
    {"settings_not_read_back", {Call(INJECT_TCGETATTR, INJECT_ERRNO, EIO, 1)}, kDefaultLine, kDriverFlags,
     PORT_SET_FAILED, nullptr},
    {"no_line_parameters", {}, kDefaultLine, kDriverFlags, PORT_SET_FAILED, nullptr, true},
    // The device answers success but keeps what it had.
    {"input_processing_kept", {kSetButKeep}, kDefaultLine, kDriverFlags, PORT_SET_FAILED,
     [](termios& t) { t.c_iflag |= ICRNL; }},
    {"output_processing_kept", {kSetButKeep}, kDefaultLine, kDriverFlags, PORT_SET_FAILED,
     [](termios& t) { t.c_oflag |= OPOST; }},
    {"byte_count_kept", {kSetButKeep}, kDefaultLine, kDriverFlags, PORT_SET_FAILED,
     [](termios& t) { t.c_cc[VMIN] = 5; }},
    {"rate_kept", {kSetButKeep}, kDefaultLine, kDriverFlags, PORT_SET_FAILED,
     [](termios& t) { cfsetspeed(&t, B4800); }},
    // RS-485 direction control where the device has it, and none where not.
    {"rts_toggle_unknown", {}, kDefaultLine, PORT_RTS_TOGGLE, PORT_OK, nullptr},
    {"rts_toggle_refused", {Ioctl(TIOCGRS485, 0)}, kDefaultLine, PORT_RTS_TOGGLE, PORT_OK, nullptr},
    {"rts_toggle", {Ioctl(TIOCGRS485, 0), Ioctl(TIOCSRS485, 0)}, kDefaultLine, PORT_RTS_TOGGLE, PORT_OK,
     nullptr},
    {"dtr_handshake", {}, kDefaultLine, PORT_DTR_HANDSHAKE, PORT_OK, nullptr},
};
// clang-format on

TEST(PortCalls, OpensWhoseSettingsDoNotHold) {
    for (const OpenCase& c : kOpens) {
        SCOPED_TRACE(c.name);
        PtyPair pty;
        termios tio{};
        ASSERT_EQ(tcgetattr(pty.slave, &tio), 0);
        cfmakeraw(&tio);
        if (c.before) c.before(tio);
        ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &tio), 0);
        InjectArm(-1, c.faults.data(), static_cast<int>(c.faults.size()));
        PortHandle handle = 0;
        const int32_t result =
            PortOpen(pty.path.c_str(), c.noLine ? nullptr : &c.line, c.flags, &handle);
        const int hits = InjectHits();
        InjectDisarm();
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(hits, static_cast<int>(c.faults.size()));
        if (result == PORT_OK) {
            EXPECT_EQ(PortClose(handle), PORT_OK);
        } else {
            EXPECT_EQ(handle, kInvalidPortHandle);
        }
        // The device was let go: it opens again.
        ASSERT_EQ(PortOpen(pty.path.c_str(), &kDefaultLine, kDriverFlags, &handle), PORT_OK);
        EXPECT_EQ(PortClose(handle), PORT_OK);
    }
}

TEST(PortCalls, RefusedArguments) {
    OpenPort port;
    ASSERT_EQ(port.openResult, PORT_OK);
    uint8_t byte = 0;
    uint32_t count = 99;
    const std::string tooLong(300, 'x');
    PortHandle handle = 0;
    EXPECT_EQ(PortOpen(tooLong.c_str(), &kDefaultLine, kDriverFlags, &handle), PORT_OPEN_FAILED);
    EXPECT_EQ(PortOpen(nullptr, &kDefaultLine, kDriverFlags, &handle), PORT_OPEN_FAILED);
    EXPECT_EQ(PortOpen(port.pty.path.c_str(), &kDefaultLine, kDriverFlags, nullptr),
              PORT_OPEN_FAILED);
    EXPECT_EQ(PortRead(port.handle, nullptr, 1, &count), PORT_IO_FAILED);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(PortRead(0, &byte, 1, nullptr), PORT_IO_FAILED);
    EXPECT_EQ(PortWrite(port.handle, nullptr, 1, &count), PORT_IO_FAILED);
    EXPECT_EQ(PortWrite(port.handle, nullptr, 0, nullptr), PORT_OK);
    EXPECT_EQ(PortFlushInput(0x7FFF0000u), 1);
    EXPECT_EQ(PortClose(0x7FFF0000u), PORT_IO_FAILED);
    EXPECT_TRUE(port.pty.Receive(1, 50).empty());
}

// Someone closed the port's descriptor behind the module's back and the
// number came back with the next open: the old record is taken over.
TEST(PortCalls, StaleRecordTakenOver) {
    PtyPair pty;
    PortHandle first = 0;
    ASSERT_EQ(PortOpen(pty.path.c_str(), &kDefaultLine, kDriverFlags, &first), PORT_OK);
    const uint8_t held = 0x11;
    ASSERT_EQ(PortWrite(first, &held, 1, nullptr), PORT_OK);
    close(static_cast<int>(first));
    PortHandle second = 0;
    ASSERT_EQ(PortOpen(pty.path.c_str(), &kDefaultLine, kDriverFlags, &second), PORT_OK);
    ASSERT_EQ(second, first);
    const uint8_t fresh = 0x22;
    ASSERT_EQ(PortWrite(second, &fresh, 1, nullptr), PORT_OK);
    ASSERT_EQ(PortFlushInput(second), 0);
    EXPECT_EQ(pty.Receive(2, 300), std::vector<uint8_t>{0x22});  // the stale byte is gone
    EXPECT_EQ(PortClose(second), PORT_OK);
}

// More than the write-behind holds goes out a buffer's worth at a time, in
// order, through short writes and writes that take nothing.
TEST(PortCalls, LongWrites) {
    for (const InjectFault fault : {Call(INJECT_WRITE, INJECT_SHORT, 100, 0, -1),
                                    Call(INJECT_WRITE, INJECT_ERRNO, 0, 0, 3)}) {
        OpenPort port;
        ASSERT_EQ(port.openResult, PORT_OK);
        std::vector<uint8_t> bytes(2000);
        std::iota(bytes.begin(), bytes.end(), uint8_t{7});
        uint32_t written = 0;
        InjectArm(static_cast<int>(port.handle), &fault, 1);
        EXPECT_EQ(PortWrite(port.handle, bytes.data(), 2000, &written), PORT_OK);
        EXPECT_EQ(written, 2000u);
        EXPECT_EQ(PortFlushInput(port.handle), 0);
        EXPECT_GT(InjectHits(), 0);
        InjectDisarm();
        EXPECT_EQ(port.pty.Receive(2001, 1000), bytes);
    }
}

// A held-back write that fails fails the call that carried it out and every
// later write; the close still releases the port.
TEST(PortCalls, HeldBackOutputFails) {
    const struct {
        const char* name;
        uint32_t length;  // of the write before the call
        std::function<int32_t(PortHandle)> call;
        int32_t result;
    } cases[] = {
        {"long write", 2000,
         [](PortHandle h) {
             uint8_t byte = 0;
             return PortWrite(h, &byte, 1, nullptr);
         },
         PORT_IO_FAILED},
        {"break", 3, [](PortHandle h) { return PortSendBreak(0, h); }, PORT_IO_FAILED},
        {"flush", 3, [](PortHandle h) { return PortFlushInput(h); }, 1},
        {"read", 3,
         [](PortHandle h) {
             uint8_t byte = 0;
             uint32_t count = 99;
             const int32_t result = PortRead(h, &byte, 1, &count);
             return count == 0 ? result : -1;
         },
         PORT_IO_FAILED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        OpenPort port;
        ASSERT_EQ(port.openResult, PORT_OK);
        const InjectFault fault = Call(INJECT_WRITE, INJECT_ERRNO, EIO, 0, -1);
        InjectArm(static_cast<int>(port.handle), &fault, 1);
        std::vector<uint8_t> bytes(c.length, 0x42);
        uint32_t written = 0;
        const int32_t first = PortWrite(port.handle, bytes.data(), c.length, &written);
        EXPECT_EQ(first, c.length > 534 ? PORT_IO_FAILED : PORT_OK);
        if (first == PORT_OK) {
            EXPECT_EQ(c.call(port.handle), c.result);
        }
        EXPECT_EQ(PortWrite(port.handle, bytes.data(), 1, &written), PORT_IO_FAILED);
        EXPECT_EQ(written, 0u);
        InjectDisarm();
        EXPECT_EQ(port.Close(), PORT_OK);
    }
}

// A close pushes out what is held back; one that cannot drops it and still
// releases the port.
TEST(PortCalls, CloseSendsWhatIsHeldBack) {
    for (const bool fails : {false, true}) {
        SCOPED_TRACE(fails);
        PtyPair pty;
        PortHandle handle = 0;
        ASSERT_EQ(PortOpen(pty.path.c_str(), &kDefaultLine, kDriverFlags, &handle), PORT_OK);
        const uint8_t bytes[3] = {1, 2, 3};
        ASSERT_EQ(PortWrite(handle, bytes, 3, nullptr), PORT_OK);
        const InjectFault fault = Call(INJECT_WRITE, INJECT_ERRNO, EIO);
        InjectArm(static_cast<int>(handle), &fault, fails ? 1 : 0);
        EXPECT_EQ(PortClose(handle), PORT_OK);
        InjectDisarm();
        const std::vector<uint8_t> sent =
            fails ? std::vector<uint8_t>{} : std::vector<uint8_t>{1, 2, 3};
        EXPECT_EQ(pty.Receive(4, 300), sent);
        ASSERT_EQ(PortOpen(pty.path.c_str(), &kDefaultLine, kDriverFlags, &handle), PORT_OK);
        EXPECT_EQ(PortClose(handle), PORT_OK);
    }
}

// Reads that break off hand out what came, never more.
TEST(PortCalls, ReadsThatBreakOff) {
    const struct {
        const char* name;
        std::vector<InjectFault> faults;
        int32_t result;
        uint32_t received;
        bool waiting;  // the bytes wait before the read; else they come 20 ms into it
    } cases[] = {
        {"eio after three bytes",
         {Call(INJECT_READ, INJECT_SHORT, 3), Call(INJECT_READ, INJECT_ERRNO, EIO, 1, -1)},
         PORT_IO_FAILED,
         3,
         true},
        {"end of file on a tty",
         {Call(INJECT_READ, INJECT_ERRNO, 0, 0, -1)},
         PORT_IO_FAILED,
         0,
         true},
        {"interrupted waits", {Call(INJECT_POLL, INJECT_ERRNO, EINTR, 0, 2)}, PORT_OK, 10, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        OpenPort port;
        ASSERT_EQ(port.openResult, PORT_OK);
        PortSetReadTimeout(port.handle, 20);
        std::vector<uint8_t> line(10);
        std::iota(line.begin(), line.end(), uint8_t{0x60});
        if (c.waiting) {
            ASSERT_TRUE(port.pty.Send(line));
            ASSERT_TRUE(port.pty.WaitQueued(10));
        }
        std::thread far([&] {
            if (c.waiting) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            port.pty.Send(line);
        });
        InjectArm(static_cast<int>(port.handle), c.faults.data(),
                  static_cast<int>(c.faults.size()));
        uint8_t got[10] = {};
        uint32_t count = 99;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(PortRead(port.handle, got, 10, &count), c.result);
        InjectDisarm();
        far.join();
        EXPECT_LT(ElapsedMs(start), 1000);
        EXPECT_EQ(count, c.received);
        EXPECT_EQ(std::vector<uint8_t>(got, got + count),
                  std::vector<uint8_t>(line.begin(), line.begin() + count));
    }
}

// A reply that comes in two parts, the second after the first pass ran out,
// and a limit too long for poll's milliseconds (a negative tick count).
// With 200 ms a pass, the second part lands half-way through the second
// pass, timed from the read's start rather than from when the far side saw
// the request, so a slow far side or a late wake-up cannot push it past
// its end.
TEST(PortCalls, ReadsAcrossPassesAfterARequest) {
    for (const int32_t ticks : {20, -1}) {
        SCOPED_TRACE(ticks);
        OpenPort port;
        ASSERT_EQ(port.openResult, PORT_OK);
        PortSetReadTimeout(port.handle, ticks);
        const uint8_t request[2] = {0xA2, 0x01};
        ASSERT_EQ(PortWrite(port.handle, request, 2, nullptr), PORT_OK);
        const auto start = std::chrono::steady_clock::now();
        std::thread far([&] {
            port.pty.Receive(2, 1000);
            port.pty.Send({1, 2});
            std::this_thread::sleep_until(start + std::chrono::milliseconds(300));
            port.pty.Send({3, 4});
        });
        uint8_t got[4] = {};
        EXPECT_EQ(PortRead(port.handle, got, 4, nullptr), PORT_OK);
        far.join();
        EXPECT_EQ(std::vector<uint8_t>(got, got + 4), (std::vector<uint8_t>{1, 2, 3, 4}));
    }
}

}  // namespace
