// The host's log service, as the driver sees it.
//
// `err` lives in the host's service library and is imported by name: a level,
// a printf-style format and its values, no line end. The driver never looks at
// what it returns and never logs anywhere else.
#pragma once

#if defined(__GNUC__)
// The compiler checks every format against its values.
#define VAVE8_PRINTF_FORMAT __attribute__((format(printf, 2, 3)))
#else
#define VAVE8_PRINTF_FORMAT
#endif

extern "C" int err(int level, const char* format, ...) VAVE8_PRINTF_FORMAT;

// Levels the driver uses.
enum LogLevel : int {
    LOG_PROGRESS = 8,   // progress and every ordinary failure
    LOG_PORT_OPEN = 32, // a COM port could not be opened
};
