// The operations behind NuvMain's table, one per function code, and the
// entry point itself. Each takes the call block and returns 0, 1 or 2.
#pragma once

#include "driver/records.h"

#if defined(_WIN32)
#define VAVE8_EXPORT
#else
#define VAVE8_EXPORT __attribute__((visibility("default")))
#endif

extern "C" VAVE8_EXPORT int32_t VAVE8_API NuvMain(NuvCall* call);

using Operation = int32_t (*)(NuvCall* call);

// Connection lifecycle (driver/lifecycle.cpp).
int32_t ColdStart(NuvCall* call);
int32_t WarmStart(NuvCall* call);
int32_t EndNuv(NuvCall* call);
int32_t CloseCom(NuvCall* call);
int32_t ReOpenCom(NuvCall* call);
int32_t ChangeNuvParams(NuvCall* call);
// Opens the port the settings describe; the handle, or 0 on failure.
uint32_t OpenCom(const ComSettings* settings);

// Driver description (driver/entry.cpp).
int32_t GetNuvInfo(NuvCall* call);

// Gate addressing (address/parse.cpp).
int32_t SingleAddressParser(NuvCall* call);
int32_t BlockAddressParser(NuvCall* call);

// Read and write transactions (link/read.cpp, link/write.cpp).
int32_t SingleRead(NuvCall* call);
int32_t BlockRead(NuvCall* call);
int32_t SingleWrite(NuvCall* call);
int32_t BlockWrite(NuvCall* call);

// Marks the module ended; only EndNuv calls it (driver/entry.cpp).
void SetEnded();

// Makes the module look freshly loaded (clears the ended flag). Only for test
// hosts that link the driver statically; the shared module never exports it.
void ClearEndedFlagForTesting();
