#include "port/posix/line_settings.h"

#include <iterator>

#include "port/port.h"

namespace {

// Input processing that would change, drop, mark or act on received bytes.
//
// INPCK is among them although the line may carry parity: with it on, Linux
// hands a byte that came with a parity or framing error to the reader as
// 0x00 (or drops it with IGNPAR, or prefixes 0xFF 0x00 with PARMRK). The
// driver wants such bytes delivered exactly as they came, as a Windows port
// with its error character off does; the frame's CRC byte is what catches a
// damaged frame. The UART still sends and expects the parity bit set by
// PARENB, PARODD and CMSPAR.
constexpr tcflag_t kRawInputClear = IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR |
                                    IGNCR | ICRNL | IUCLC | IXON | IXANY | IXOFF;
// No output processing: no LF to CR LF, no tab expansion.
constexpr tcflag_t kRawOutputClear = OPOST;
// No echo, no line editing, no signal characters, no extended characters.
constexpr tcflag_t kRawLocalClear = ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN;
// The character format, which a pseudo-terminal does not keep.
constexpr tcflag_t kFormatBits = CSIZE | PARENB | PARODD | CMSPAR;

struct SpeedEntry {
    uint32_t baud;
    speed_t speed;
};

constexpr SpeedEntry kStandardSpeeds[] = {
    {50, B50},     {75, B75},       {110, B110},     {134, B134},     {150, B150},   {200, B200},
    {300, B300},   {600, B600},     {1200, B1200},   {1800, B1800},   {2400, B2400}, {4800, B4800},
    {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600},
};

// Data bits 5..8.
constexpr tcflag_t kCharacterSizes[] = {CS5, CS6, CS7, CS8};
constexpr uint8_t kFewestDataBits = 5;

// Parity codes 0 none, 1 odd, 2 even, 3 mark, 4 space. Mark and space are
// stick parity (CMSPAR): a fixed parity bit, 1 with PARODD (mark), else 0.
constexpr tcflag_t kParityBits[] = {0, PARENB | PARODD, PARENB, PARENB | CMSPAR | PARODD,
                                    PARENB | CMSPAR};
constexpr uint8_t kLastStopBitsCode = 2;

// RTS/CTS flow control is one bit on Linux, CRTSCTS, which makes RTS an
// input-flow line and CTS an output-flow line at once; the two groups of the
// flags word both reach it. An explicit RTS on or RTS toggle means RTS is not
// a flow-control line, so it clears the bit (this also keeps a port that some
// earlier program left with CRTSCTS from stalling every write when the cable
// has no CTS). RTS handshake and CTS output flow set it; CTS output flow
// wins over RTS on because flow control asked for is not dropped. A word
// that names neither leaves the bit as the port had it.
bool RtsCtsFlow(const LineControl& control, bool current) {
    bool on = current;
    if (control.rts == RtsMode::kOn || control.rts == RtsMode::kToggle) on = false;
    if (control.rts == RtsMode::kHandshake) on = true;
    if (control.outFlow == OutFlow::kCts) on = true;
    return on;
}

}  // namespace

LineControl DecodeLineFlags(uint16_t flags) {
    LineControl control{DtrMode::kAsIs, RtsMode::kAsIs, OutFlow::kAsIs};

    if (flags & PORT_DTR_ON) {
        control.dtr = DtrMode::kOn;
    } else if (flags & PORT_DTR_HANDSHAKE) {
        control.dtr = DtrMode::kHandshake;
    }

    if (flags & PORT_RTS_ON) {
        control.rts = RtsMode::kOn;
    } else if (flags & PORT_RTS_HANDSHAKE) {
        control.rts = RtsMode::kHandshake;
    } else if (flags & PORT_RTS_TOGGLE) {
        control.rts = RtsMode::kToggle;
    }

    if (flags & PORT_CTS_OUTFLOW) {
        control.outFlow = OutFlow::kCts;
    } else if (flags & PORT_DSR_OUTFLOW) {
        control.outFlow = OutFlow::kDsr;
    } else if (flags & PORT_DSR_SENSITIVITY) {
        control.outFlow = OutFlow::kDsrSensitivity;
    }
    return control;
}

bool StandardSpeed(uint32_t baud, speed_t* speed) {
    for (const SpeedEntry& entry : kStandardSpeeds) {
        if (entry.baud == baud) {
            *speed = entry.speed;
            return true;
        }
    }
    return false;
}

bool MapLineSettings(const termios& current, const LineParams& line, uint16_t flags,
                     LineSetup* out) {
    // Only the low byte of the data-bits, stop-bits and parity fields counts.
    const auto dataBits = static_cast<uint8_t>(line.dataBits & 0xFFu);
    const auto stopBits = static_cast<uint8_t>(line.stopBits & 0xFFu);
    const auto parity = static_cast<uint8_t>(line.parity & 0xFFu);

    // A rate of 0 would be B0, which on a tty means "hang up", never a speed.
    if (line.baud == 0 || dataBits < kFewestDataBits ||
        dataBits >= kFewestDataBits + std::size(kCharacterSizes) ||
        parity >= std::size(kParityBits) || stopBits > kLastStopBitsCode) {
        return false;
    }
    const tcflag_t size = kCharacterSizes[dataBits - kFewestDataBits];
    const tcflag_t parityBits = kParityBits[parity];

    termios tio = current;
    tio.c_iflag &= ~kRawInputClear;
    tio.c_oflag &= ~kRawOutputClear;
    tio.c_lflag &= ~kRawLocalClear;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;

    tio.c_cflag &= ~(kFormatBits | CSTOPB);
    tio.c_cflag |= size | parityBits;
    // Code 1, one and a half stop bits, exists on a UART only for 5-bit
    // characters and termios cannot ask for it: it becomes two, the nearest
    // a Linux tty offers (a receiver takes either).
    if (stopBits != 0) tio.c_cflag |= CSTOPB;
    // CLOCAL: no modem-control wait or hang-up on a lost carrier, the line is
    // a plain cable. CREAD: receive. HUPCL: DTR and RTS drop when the port is
    // closed, so the far end sees the connection end, as it does when a
    // Windows port handle is closed.
    tio.c_cflag |= CLOCAL | CREAD | HUPCL;

    const LineControl control = DecodeLineFlags(flags);
    if (RtsCtsFlow(control, (current.c_cflag & CRTSCTS) != 0)) {
        tio.c_cflag |= CRTSCTS;
    } else {
        tio.c_cflag &= ~CRTSCTS;
    }

    uint32_t customBaud = 0;
    speed_t speed = 0;
    if (StandardSpeed(line.baud, &speed)) {
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
    } else {
        customBaud = line.baud;
    }

    out->tio = tio;
    out->customBaud = customBaud;
    out->control = control;
    return true;
}

bool LineSettingsHeld(const termios& wanted, const termios& actual, bool pseudoTerminal) {
    if ((wanted.c_iflag ^ actual.c_iflag) & kRawInputClear) return false;
    if ((wanted.c_oflag ^ actual.c_oflag) & kRawOutputClear) return false;
    if ((wanted.c_lflag ^ actual.c_lflag) & kRawLocalClear) return false;
    if (wanted.c_cc[VMIN] != actual.c_cc[VMIN] || wanted.c_cc[VTIME] != actual.c_cc[VTIME]) {
        return false;
    }
    tcflag_t judged = kFormatBits | CSTOPB | CLOCAL | CREAD;
    if (pseudoTerminal) judged &= ~kFormatBits;
    if ((wanted.c_cflag ^ actual.c_cflag) & judged) return false;
    return cfgetispeed(&wanted) == cfgetispeed(&actual) &&
           cfgetospeed(&wanted) == cfgetospeed(&actual);
}
