// The serial port module: eight operations over an opaque port handle.
//
// This header is all the rest of the driver knows of the port. The platform
// files behind it (port/win32, port/posix) are chosen by the build. The
// module keeps no state of its own between calls (the POSIX backend keeps a
// small per-descriptor record; see its file), never logs, and answers with
// the small codes below, which its callers turn into the driver's own.
#pragma once

#include <cstdint>

#include "driver/records.h"

// What PortOpen hands out: a 32-bit value passed unchanged to every other
// operation. The driver stores it in DriverInstance, where 0 means no port,
// so an open port never has the handle 0.
using PortHandle = uint32_t;

constexpr PortHandle kInvalidPortHandle = 0xFFFFFFFFu;

enum PortResult : int32_t {
    PORT_OK = 0,
    PORT_OPEN_FAILED = 1,   // open failed, or setting its timeouts failed
    PORT_SHORT_WRITE = 2,   // the write took fewer bytes than asked
    PORT_GET_FAILED = 4,    // reading the port's settings failed
    PORT_SET_FAILED = 5,    // applying the port's settings failed
    PORT_IO_FAILED = 7,     // close, write or read failed, or no byte in time
};

// Line-control flags word: within each group the first row with a bit set wins.
enum PortFlags : uint16_t {
    PORT_DTR_ON = 0x0101,
    PORT_DTR_HANDSHAKE = 0x8000,
    PORT_RTS_ON = 0x0202,
    PORT_RTS_HANDSHAKE = 0x1000,
    PORT_RTS_TOGGLE = 0x2000,
    PORT_CTS_OUTFLOW = 0x0010,
    PORT_DSR_OUTFLOW = 0x0020,
    PORT_DSR_SENSITIVITY = 0x4000,
};

// Opens and, for a nonzero flags word, configures the named port. The handle
// is stored through `handle` at once (kInvalidPortHandle when the open fails).
// "NUL" opens the null device and skips all configuration. Result 0, 1, 4, 5.
int32_t PortOpen(const char* name, const LineParams* line, uint16_t flags, PortHandle* handle);

// 0, or 7 when the close failed (the handle then stays open).
int32_t PortClose(PortHandle handle);

// Sets the per-read time limit to `ticks` x 10 ms (0: no limit). Returns the
// previous limit in ticks (rounded down), or 0 on failure.
int32_t PortSetReadTimeout(PortHandle handle, int32_t ticks);

// Drops everything received and not yet read: 0, or 1 when the last of its
// draining reads failed. On POSIX, when something was waiting, it also waits
// for the line to fall silent for 50 ms (giving up after about a second) and
// drops what came meanwhile.
int32_t PortFlushInput(PortHandle handle);

// Holds the line in the break state for `milliseconds`. 0; on POSIX 7 when
// output held back by PortWrite could not be sent first.
int32_t PortSendBreak(int32_t milliseconds, PortHandle handle);

// Writes `count` bytes with no time limit: 0, 2 (short write) or 7. The POSIX
// backend holds the bytes back until the port's next PortRead,
// PortFlushInput, PortSendBreak or PortClose (or until its buffer is full);
// a failure then shows in that call, and every later PortWrite gives 7.
int32_t PortWrite(PortHandle handle, const uint8_t* bytes, uint32_t count, uint32_t* written);

// Reads `count` bytes (at most 65535), each pass waiting up to the read time
// limit: 0 when all arrived, 7 when a pass failed or brought nothing.
// `received` always tells how many bytes arrived.
int32_t PortRead(PortHandle handle, uint8_t* buffer, uint32_t count, uint32_t* received);

// Sleeps `milliseconds`. Always 0.
int32_t PortPause(int32_t milliseconds);
