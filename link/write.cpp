// Placeholder until the write transactions land.
#include "driver/operations.h"
int32_t SingleWrite(NuvCall*) { return NUV_FAILED; }
int32_t BlockWrite(NuvCall*) { return NUV_FAILED; }
