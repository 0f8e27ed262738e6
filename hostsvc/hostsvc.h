// A stand-in for the host application's service library.
//
// A host loads the driver module and the driver imports `err` from this
// library. A host that wants the driver's log lines registers a sink; without
// one, every line goes to stderr as "[level] text".
#pragma once

#if defined(_WIN32)
#if defined(HOSTSVC_BUILDING)
#define HOSTSVC_API __declspec(dllexport)
#else
#define HOSTSVC_API __declspec(dllimport)
#endif
#else
#define HOSTSVC_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Receives one formatted log line (no line end) with its level.
typedef void (*hostsvc_sink)(void* context, int level, const char* line);

// Registers the sink for every later line; a null sink restores stderr.
HOSTSVC_API void hostsvc_set_sink(hostsvc_sink sink, void* context);

// The log service the driver calls: level, printf-style format, values.
// Returns the length of the formatted line.
HOSTSVC_API int err(int level, const char* format, ...);

#ifdef __cplusplus
}
#endif
