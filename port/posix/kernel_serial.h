// Serial settings that glibc's termios interface cannot express: arbitrary
// baud rates and RS-485 direction control.
//
// These go through Linux's own structures (termios2, serial_rs485), whose
// headers clash with glibc's <termios.h>; kernel_serial.cpp includes only the
// kernel's side, and this header only plain integers, so port.cpp can use
// both.
#pragma once

#include <cstdint>

// Sets input and output rate to `baud` bits per second (BOTHER). 0 when the
// device runs at that rate within a UART's tolerance afterwards, -1 when it
// refuses the rate or cannot come close enough.
int KernelSetBaud(int fd, uint32_t baud);

// The device's current output rate in bits per second: 0, or -1.
int KernelGetBaud(int fd, uint32_t* baud);

// Lets the device drive RTS itself, on while it transmits and off otherwise
// (RS-485 direction control). 0, or -1 when the device has no such mode.
int KernelEnableRtsToggle(int fd);
