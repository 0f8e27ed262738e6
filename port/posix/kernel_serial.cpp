// Only the kernel's termios here: <asm/termbits.h> defines its own struct
// termios, which clashes with glibc's.
#include "port/posix/kernel_serial.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

namespace {

// Two UARTs talk reliably while their rates differ by a few percent; a
// device that can only come further from the asked rate than this is taken
// as refusing it.
constexpr uint32_t kTolerancePercent = 2;

bool CloseEnough(uint32_t actual, uint32_t wanted) {
    const uint64_t difference = actual > wanted ? actual - wanted : wanted - actual;
    return difference * 100u <= static_cast<uint64_t>(wanted) * kTolerancePercent;
}

}  // namespace

int KernelSetBaud(int fd, uint32_t baud) {
    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0) return -1;
    tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
    if (ioctl(fd, TCSETS2, &tio) != 0) return -1;

    // A driver may round the rate to what its clock divider gives, or fall
    // back to another rate altogether without failing the call.
    uint32_t actual = 0;
    if (KernelGetBaud(fd, &actual) != 0 || !CloseEnough(actual, baud)) return -1;
    return 0;
}

int KernelGetBaud(int fd, uint32_t* baud) {
    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0) return -1;
    *baud = tio.c_ospeed;
    return 0;
}

int KernelEnableRtsToggle(int fd) {
    serial_rs485 rs485{};
    if (ioctl(fd, TIOCGRS485, &rs485) != 0) return -1;
    rs485.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    rs485.flags &= ~static_cast<uint32_t>(SER_RS485_RTS_AFTER_SEND);
    return ioctl(fd, TIOCSRS485, &rs485) == 0 ? 0 : -1;
}
