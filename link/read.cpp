// Placeholder until the read transactions land.
#include "driver/operations.h"
int32_t SingleRead(NuvCall*) { return NUV_FAILED; }
int32_t BlockRead(NuvCall*) { return NUV_FAILED; }
