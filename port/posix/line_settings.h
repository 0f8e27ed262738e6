// Turning the driver's line parameters and line-control flags into termios.
//
// Pure functions over plain records, kept apart from the descriptor handling
// in port.cpp so that every mapping can be checked without a device.
#pragma once

#include <termios.h>

#include <cstdint>

#include "driver/records.h"

// What the line-control flags word asks of each group. Within a group the
// first row with any of its mask bits set wins; kAsIs when none is set.
enum class DtrMode { kAsIs, kOn, kHandshake };
enum class RtsMode { kAsIs, kOn, kHandshake, kToggle };
enum class OutFlow { kAsIs, kCts, kDsr, kDsrSensitivity };

struct LineControl {
    DtrMode dtr;
    RtsMode rts;
    OutFlow outFlow;
};

LineControl DecodeLineFlags(uint16_t flags);

// The termios to apply, and what termios cannot say by itself.
struct LineSetup {
    termios tio;
    // 0 when the rate is a standard one and set in `tio`; otherwise the rate,
    // which then goes through the kernel's arbitrary-rate interface after
    // `tio` is applied (`tio` keeps the speed it was read with).
    uint32_t customBaud;
    LineControl control;
};

// Builds the settings for a port whose current termios is `current`: a raw
// 8-bit-clean line with the given character format, rate and flow control.
// Returns false for values no serial line takes (rate 0, data bits outside
// 5..8, stop-bit code above 2, parity code above 4).
bool MapLineSettings(const termios& current, const LineParams& line, uint16_t flags,
                     LineSetup* out);

// The termios speed constant of a standard rate, or false for any other rate.
bool StandardSpeed(uint32_t baud, speed_t* speed);

// Whether the device kept what MapLineSettings asked for, judged on the
// termios read back after applying it. A pseudo-terminal has no character
// format of its own (Linux forces 8 bits and no parity on it), so for one
// the data bits and parity are not judged.
bool LineSettingsHeld(const termios& wanted, const termios& actual, bool pseudoTerminal);
