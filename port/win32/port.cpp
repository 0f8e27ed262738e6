// The serial port module on Win32: synchronous I/O on a COM port handle.
//
// Every operation works on the handle alone; the module keeps nothing between
// calls. The port is opened without overlapped I/O, so each ReadFile and
// WriteFile waits for its outcome under the port's COMMTIMEOUTS.
#include <windows.h>

#include <cstdint>
#include <cstring>

#include "port/port.h"
#include "port/win32/port_dcb.h"

namespace {

// The driver keeps the handle in a 32-bit field. Windows keeps kernel handles
// 32-bit significant so that 32- and 64-bit processes can share them, which
// makes truncating and sign-extending lossless; INVALID_HANDLE_VALUE becomes
// kInvalidPortHandle and back.
static_assert(sizeof(HANDLE) == 4 || sizeof(HANDLE) == 8);

HANDLE ToHandle(PortHandle handle) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(static_cast<int32_t>(handle)));
}

PortHandle FromHandle(HANDLE handle) {
    return static_cast<PortHandle>(reinterpret_cast<uintptr_t>(handle));
}

constexpr DWORD kOpenReadTimeoutMs = 1000;  // until the caller sets its own
constexpr DWORD kQueueSize = 1200;          // recommended input and output queues
constexpr int32_t kFlushTimeoutTicks = 5;   // 50 ms per draining read
constexpr DWORD kFlushChunk = 512;
constexpr DWORD kMaxPassRequest = 0xFFFF;   // one ReadFile asks for at most this
constexpr char kErrorChar = static_cast<char>(0xFC);

uint8_t LowByte(uint16_t value) { return static_cast<uint8_t>(value & 0xFF); }

// Within each group the first row with any of its bits in the word wins; a
// group with no such row keeps what the port reported.
void ApplyLineFlags(DCB* dcb, uint16_t flags) {
    if (flags & PORT_DTR_ON) {
        dcb->fDtrControl = DTR_CONTROL_ENABLE;
    } else if (flags & PORT_DTR_HANDSHAKE) {
        dcb->fDtrControl = DTR_CONTROL_HANDSHAKE;
    }

    if (flags & PORT_RTS_ON) {
        dcb->fRtsControl = RTS_CONTROL_ENABLE;
    } else if (flags & PORT_RTS_HANDSHAKE) {
        dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else if (flags & PORT_RTS_TOGGLE) {
        dcb->fRtsControl = RTS_CONTROL_TOGGLE;
    }

    // Output flow is only ever switched on: a port wired for CTS or DSR flow
    // control keeps it whatever the word says.
    if (flags & PORT_CTS_OUTFLOW) {
        dcb->fOutxCtsFlow = TRUE;
    } else if (flags & PORT_DSR_OUTFLOW) {
        dcb->fOutxDsrFlow = TRUE;
    } else if (flags & PORT_DSR_SENSITIVITY) {
        dcb->fDsrSensitivity = TRUE;
    }
}

}  // namespace

void FillPortDcb(DCB* dcb, const LineParams* line, uint16_t flags) {
    dcb->BaudRate = line->baud;
    dcb->ByteSize = LowByte(line->dataBits);
    dcb->Parity = LowByte(line->parity);
    dcb->StopBits = LowByte(line->stopBits);
    // Parity 0 leaves checking as the port had it.
    if (dcb->Parity != NOPARITY) dcb->fParity = TRUE;

    // Bytes received with a parity error are passed on unchanged; the frame's
    // CRC byte decides whether the frame is good.
    dcb->ErrorChar = kErrorChar;
    dcb->fErrorChar = FALSE;

    // PPCCOM frames carry every byte value. A port that reports XON/XOFF on
    // (a fresh pseudo-terminal does) would swallow each 0x11 and 0x13 of a
    // frame, null stripping would drop each 0x00, and abort-on-error would
    // fail every read after one parity error until the next flush.
    dcb->fBinary = TRUE;
    dcb->fOutX = FALSE;
    dcb->fInX = FALSE;
    dcb->fNull = FALSE;
    dcb->fAbortOnError = FALSE;

    ApplyLineFlags(dcb, flags);
}

int32_t PortOpen(const char* name, const LineParams* line, uint16_t flags, PortHandle* handle) {
    HANDLE port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    *handle = FromHandle(port);
    if (port == INVALID_HANDLE_VALUE) return PORT_OPEN_FAILED;

    // The null device takes no configuration: it is handed out as it is.
    if (std::strcmp(name, "NUL") == 0) return PORT_OK;

    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) {
        CloseHandle(port);
        return PORT_GET_FAILED;
    }
    if (flags == 0) return PORT_OK;

    // Whole reads under one total limit: a read returns when all bytes are in
    // or the limit has passed, with what arrived. Writes have no limit.
    COMMTIMEOUTS timeouts = {0, 0, kOpenReadTimeoutMs, 0, 0};
    if (!SetCommTimeouts(port, &timeouts)) {
        CloseHandle(port);
        return PORT_OPEN_FAILED;
    }

    FillPortDcb(&dcb, line, flags);
    if (!SetCommState(port, &dcb)) {
        CloseHandle(port);
        return PORT_SET_FAILED;
    }
    SetupComm(port, kQueueSize, kQueueSize);
    return PORT_OK;
}

int32_t PortClose(PortHandle handle) {
    return CloseHandle(ToHandle(handle)) ? PORT_OK : PORT_IO_FAILED;
}

int32_t PortSetReadTimeout(PortHandle handle, int32_t ticks) {
    HANDLE port = ToHandle(handle);
    COMMTIMEOUTS timeouts;
    if (!GetCommTimeouts(port, &timeouts)) return 0;
    const DWORD previous = timeouts.ReadTotalTimeoutConstant;
    // Computed in 32 bits: a tick count beyond 429496729 wraps.
    const DWORD wanted = static_cast<DWORD>(static_cast<uint32_t>(ticks) * 10u);
    if (wanted != previous) {
        timeouts.ReadTotalTimeoutConstant = wanted;
        if (!SetCommTimeouts(port, &timeouts)) return 0;
    }
    return static_cast<int32_t>(previous) / 10;
}

int32_t PortFlushInput(PortHandle handle) {
    HANDLE port = ToHandle(handle);
    DWORD errors = 0;
    COMSTAT status;
    std::memset(&status, 0, sizeof status);
    if (ClearCommError(port, &errors, &status) && status.cbInQue == 0) return 0;

    // The limit in force is put back exactly as found, in milliseconds: the
    // tick count PortSetReadTimeout returns cannot tell a failure from a limit
    // under 10 ms, nor express "no limit" apart from a failed read.
    COMMTIMEOUTS found;
    const bool haveFound = GetCommTimeouts(port, &found) != FALSE;
    PortSetReadTimeout(handle, kFlushTimeoutTicks);

    uint8_t scratch[kFlushChunk];
    DWORD got = 0;
    BOOL ok = FALSE;
    do {
        got = 0;
        ok = ReadFile(port, scratch, kFlushChunk, &got, nullptr);
    } while (ok && got == kFlushChunk);

    if (haveFound) {
        COMMTIMEOUTS now;
        if (GetCommTimeouts(port, &now) &&
            now.ReadTotalTimeoutConstant != found.ReadTotalTimeoutConstant) {
            now.ReadTotalTimeoutConstant = found.ReadTotalTimeoutConstant;
            SetCommTimeouts(port, &now);
        }
    }
    return ok ? 0 : 1;
}

int32_t PortSendBreak(int32_t milliseconds, PortHandle handle) {
    HANDLE port = ToHandle(handle);
    SetCommBreak(port);
    PortPause(milliseconds);
    ClearCommBreak(port);
    return 0;
}

int32_t PortWrite(PortHandle handle, const uint8_t* bytes, uint32_t count, uint32_t* written) {
    DWORD taken = 0;
    if (!WriteFile(ToHandle(handle), bytes, count, &taken, nullptr)) return PORT_IO_FAILED;
    if (written != nullptr) *written = taken;
    return taken == count ? PORT_OK : PORT_SHORT_WRITE;
}

int32_t PortRead(PortHandle handle, uint8_t* buffer, uint32_t count, uint32_t* received) {
    HANDLE port = ToHandle(handle);
    if (received != nullptr) *received = 0;
    uint32_t total = 0;
    // Each pass waits up to the read time limit. A pass that brings nothing
    // means the line went quiet: the caller sees 7 and how much did arrive.
    // A count of 0 still makes one (empty) request and so reports 7.
    do {
        const uint32_t remaining = count - total;
        const DWORD request = remaining > kMaxPassRequest ? kMaxPassRequest : remaining;
        DWORD got = 0;
        if (!ReadFile(port, buffer + total, request, &got, nullptr)) return PORT_IO_FAILED;
        if (got == 0) return PORT_IO_FAILED;
        total += got;
        if (received != nullptr) *received = total;
    } while (total < count);
    return PORT_OK;
}

int32_t PortPause(int32_t milliseconds) {
    // A negative duration would reach Sleep as INFINITE and never return.
    Sleep(milliseconds > 0 ? static_cast<DWORD>(milliseconds) : 0);
    return 0;
}
