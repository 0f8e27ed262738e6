// Opening, configuring and closing ports: names, exclusivity, settings that
// stick (or are left alone), and where the descriptor lands.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <termios.h>

#include <cstring>

#include "port/posix/kernel_serial.h"
#include "pty_pair.h"

namespace {

TEST(PortOpenTest, NamesAndTheNullDevice) {
    const struct {
        const char* name;
        int32_t result;
    } cases[] = {
        {"nul", PORT_OPEN_FAILED},       // an ordinary name: /dev/nul does not exist
        {"/dev/null", PORT_GET_FAILED},  // opens, but is no tty
        {"null", PORT_GET_FAILED},       // relative to /dev
        {"", PORT_OPEN_FAILED},
    };
    for (const auto& c : cases) {
        PortHandle handle = 0;
        EXPECT_EQ(PortOpen(c.name, &kDefaultLine, kDriverFlags, &handle), c.result) << c.name;
        EXPECT_EQ(handle, kInvalidPortHandle);
    }

    // "NUL" looks at neither line parameters nor flags; reads end at once.
    PortHandle handle = 0;
    ASSERT_EQ(PortOpen("NUL", nullptr, 0xFFFF, &handle), PORT_OK);
    PortSetReadTimeout(handle, 1000);
    const auto start = std::chrono::steady_clock::now();
    uint8_t bytes[5] = {1, 2, 3, 4, 5};
    uint32_t count = 99;
    EXPECT_EQ(PortRead(handle, bytes, 1, &count), PORT_IO_FAILED);
    EXPECT_EQ(count, 0u);
    EXPECT_LT(ElapsedMs(start), 2000);
    EXPECT_EQ(PortWrite(handle, bytes, 5, &count), PORT_OK);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(PortClose(handle), PORT_OK);
}

// Root passes TIOCEXCL, so this holds through the lock; the second open uses
// the relative name, which must reach the same device and lock.
TEST(PortOpenTest, SecondOpenOfAPortInUseFails) {
    OpenPort port;
    ASSERT_EQ(port.openResult, PORT_OK);
    const std::string relative = port.pty.path.substr(std::strlen("/dev/"));
    PortHandle second = 0;
    EXPECT_EQ(PortOpen(relative.c_str(), &kDefaultLine, kDriverFlags, &second), PORT_OPEN_FAILED);
    EXPECT_EQ(second, kInvalidPortHandle);

    ASSERT_EQ(port.Close(), PORT_OK);
    ASSERT_EQ(PortOpen(relative.c_str(), &kDefaultLine, kDriverFlags, &second), PORT_OK);
    EXPECT_EQ(PortClose(second), PORT_OK);
}

// A pseudo-terminal drops the parity bit, and Linux answers a later request
// that differs only in it with EINVAL. Every open must still succeed, and
// what the device does keep must be set.
TEST(PortOpenTest, ReopenConfiguresEveryTime) {
    const LineParams lines[] = {{9600, 8, 0, 2}, {12345, 8, 0, 2}, {4800, 7, 1, 3}};
    PtyPair pty;
    for (const LineParams& line : lines) {
        for (int round = 0; round < 2; ++round) {
            SCOPED_TRACE(testing::Message() << line.baud << " round " << round);
            PortHandle handle = 0;
            ASSERT_EQ(PortOpen(pty.path.c_str(), &line, kDriverFlags, &handle), PORT_OK);
            termios tio{};
            uint32_t baud = 0;
            ASSERT_EQ(tcgetattr(pty.slave, &tio), 0);
            ASSERT_EQ(KernelGetBaud(pty.slave, &baud), 0);
            EXPECT_EQ(baud, line.baud);
            EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, line.stopBits != 0);
            EXPECT_EQ(tio.c_lflag & ICANON, 0u);
            EXPECT_EQ(PortClose(handle), PORT_OK);
        }
    }
}

TEST(PortOpenTest, FlagsZeroLeavesThePortAlone) {
    PtyPair pty;
    termios before{};
    termios after{};
    ASSERT_EQ(tcgetattr(pty.slave, &before), 0);
    PortHandle handle = 0;
    ASSERT_EQ(PortOpen(pty.path.c_str(), &kDefaultLine, 0, &handle), PORT_OK);
    ASSERT_EQ(tcgetattr(pty.slave, &after), 0);
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
    EXPECT_EQ(PortSetReadTimeout(handle, 7), 0);  // no read limit on a fresh descriptor
    EXPECT_EQ(PortClose(handle), PORT_OK);

    // Any nonzero word configures, and starts with a one-second limit.
    ASSERT_EQ(PortOpen(pty.path.c_str(), &kDefaultLine, 0x0004, &handle), PORT_OK);
    EXPECT_EQ(PortSetReadTimeout(handle, 7), 100);
    EXPECT_EQ(PortClose(handle), PORT_OK);
}

TEST(PortOpenTest, RefusedSettingsGiveCode5AndReleaseThePort) {
    const LineParams refused[] = {{0, 8, 0, 2}, {9600, 9, 0, 2}, {9600, 8, 0, 5}};
    PtyPair pty;
    for (const LineParams& line : refused) {
        PortHandle handle = 0;
        EXPECT_EQ(PortOpen(pty.path.c_str(), &line, kDriverFlags, &handle), PORT_SET_FAILED);
        ASSERT_EQ(PortOpen(pty.path.c_str(), &kDefaultLine, kDriverFlags, &handle), PORT_OK);
        EXPECT_EQ(PortClose(handle), PORT_OK);
    }
}

// Handle 0 means "no port" to the driver; a host that closed its standard
// input must still get another.
TEST(PortOpenTest, NeverHandsOutDescriptorZero) {
    PtyPair pty;
    for (const std::string& name : {pty.path, std::string("NUL")}) {
        const int savedStdin = dup(0);
        close(0);
        PortHandle handle = 0;
        const int32_t result = PortOpen(name.c_str(), &kDefaultLine, kDriverFlags, &handle);
        const bool zeroLeftFree = fcntl(0, F_GETFD) < 0;
        dup2(savedStdin, 0);
        close(savedStdin);
        ASSERT_EQ(result, PORT_OK) << name;
        EXPECT_NE(handle, 0u);
        EXPECT_TRUE(zeroLeftFree);
        EXPECT_EQ(PortClose(handle), PORT_OK);
    }
}

TEST(PortOpenTest, WorksAboveDescriptor1023) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (saved.rlim_max < 1200) GTEST_SKIP() << "hard descriptor limit below 1200";
    rlimit raised = saved;
    raised.rlim_cur = std::max<rlim_t>(raised.rlim_cur, 1200);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    std::vector<int> fillers;
    while (fillers.size() < 1030) fillers.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
    {
        OpenPort port;
        ASSERT_EQ(port.openResult, PORT_OK);
        EXPECT_GT(port.handle, 1024u);
        PortSetReadTimeout(port.handle, 20);
        ASSERT_TRUE(port.pty.Send({0x5A}));
        uint8_t byte = 0;
        EXPECT_EQ(PortRead(port.handle, &byte, 1, nullptr), PORT_OK);
        EXPECT_EQ(byte, 0x5A);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(PortRead(port.handle, &byte, 1, nullptr), PORT_IO_FAILED);
        EXPECT_GE(ElapsedMs(start), 199);
    }
    for (const int fd : fillers) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
}

// Only descriptors the module handed out are touched; anything else belongs
// to the host. And the table of open ports has an end, which open reports.
TEST(PortOpenTest, ForeignHandlesAndAFullTable) {
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC), 0);
    const auto foreign = static_cast<PortHandle>(pipeFds[1]);
    const uint8_t byte = 1;
    EXPECT_EQ(PortWrite(foreign, &byte, 1, nullptr), PORT_IO_FAILED);
    EXPECT_EQ(PortClose(foreign), PORT_IO_FAILED);
    EXPECT_EQ(PortSetReadTimeout(foreign, 10), 0);
    EXPECT_EQ(fcntl(pipeFds[1], F_GETFD), FD_CLOEXEC);  // still open
    uint8_t got = 0;
    EXPECT_EQ(read(pipeFds[0], &got, 1), -1);  // and nothing written to it
    close(pipeFds[0]);
    close(pipeFds[1]);

    std::vector<PortHandle> handles;
    PortHandle handle = 0;
    while (handles.size() < 1000 && PortOpen("NUL", nullptr, 0, &handle) == PORT_OK) {
        handles.push_back(handle);
    }
    EXPECT_LT(handles.size(), 1000u);
    EXPECT_EQ(handle, kInvalidPortHandle);
    for (const PortHandle h : handles) EXPECT_EQ(PortClose(h), PORT_OK);
}

}  // namespace
